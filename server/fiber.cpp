#include "fiber.h"

#include <errno.h>
#include <stdint.h>
#include <sys/mman.h>
#include <unistd.h>

#include <mutex>
#include <new>

#include "log.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CAPECHO_ASAN 1
#endif
#if __has_feature(thread_sanitizer)
#define CAPECHO_TSAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define CAPECHO_ASAN 1
#endif
#if defined(__SANITIZE_THREAD__)
#define CAPECHO_TSAN 1
#endif
#ifdef CAPECHO_ASAN
#include <sanitizer/asan_interface.h>
#endif
#ifdef CAPECHO_TSAN
#include <sanitizer/tsan_interface.h>
#endif

namespace capecho {
namespace {

thread_local fiber* running = nullptr;

size_t page_bytes() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }

}  // namespace

namespace {

// Finished fibers kept for the next sessions: their stacks are mapped, and
// the pages a session touched stay touched.
constexpr size_t kept_fibers_max = 1024;
std::mutex kept_mutex;
fiber* kept = nullptr;
size_t kept_count = 0;

}  // namespace

fiber* fiber::reuse(size_t stack_bytes) {
  std::lock_guard lock(kept_mutex);
  for (fiber** at = &kept; *at != nullptr; at = &(*at)->next_free_) {
    fiber* f = *at;
    if (f->stack_bytes_ < stack_bytes) continue;
    *at = f->next_free_;
    --kept_count;
    return f;
  }
  return nullptr;
}

fiber* fiber::make(size_t stack_bytes, failure& error) {
  fiber* f = new (std::nothrow) fiber;
  if (f == nullptr) {
    error = {"new", ENOMEM};
    return nullptr;
  }
  const size_t page = page_bytes();
  const size_t usable = (stack_bytes + page - 1) / page * page;
  // Reserved, not committed: a session touches a few pages of it. An
  // anonymous mapping takes -1 for its descriptor.
  constexpr int flags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK;
  // cppcheck-suppress invalidFunctionArg
  void* mapping = mmap(nullptr, usable + page, PROT_READ | PROT_WRITE, flags, -1, 0);
  if (mapping == MAP_FAILED) {
    error = {"mmap", errno};
    delete f;
    return nullptr;
  }
  f->mapping_ = mapping;
  f->mapping_bytes_ = usable + page;
  if (mprotect(mapping, page, PROT_NONE) != 0) {  // the guard: an overflow faults
    error = {"mprotect", errno};
    release(f);
    return nullptr;
  }
  // ucontext is obsolescent in POSIX but kept by glibc, and switches happen
  // only on park and resume.
  // cppcheck-suppress getcontextCalled
  if (getcontext(&f->fresh_) != 0) {
    error = {"getcontext", errno};
    release(f);
    return nullptr;
  }
  f->stack_ = static_cast<char*>(mapping) + page;
  f->stack_bytes_ = usable;
#ifdef CAPECHO_TSAN
  f->tsan_fiber_ = __tsan_create_fiber(0);
#endif
  return f;
}

fiber* fiber::create(size_t stack_bytes, entry_fn entry, void* arg, failure& error) {
  fiber* f = reuse(stack_bytes);
  if (f == nullptr) f = make(stack_bytes, error);
  if (f == nullptr) return nullptr;
  f->entry_ = entry;
  f->arg_ = arg;
  f->finished_ = false;
  f->request = nullptr;
  f->context_ = f->fresh_;
  f->context_.uc_stack.ss_sp = f->stack_;
  f->context_.uc_stack.ss_size = f->stack_bytes_;
  f->context_.uc_link = nullptr;
  const auto address = reinterpret_cast<uintptr_t>(f);
  makecontext(&f->context_, reinterpret_cast<void (*)()>(&fiber::start), 2,
              static_cast<unsigned>(address >> 32), static_cast<unsigned>(address));
  return f;
}

void fiber::destroy(fiber* f) {
  if (f == nullptr) return;
  {
    std::lock_guard lock(kept_mutex);
    if (kept_count < kept_fibers_max) {
      f->next_free_ = kept;
      kept = f;
      ++kept_count;
      return;
    }
  }
  release(f);
}

void fiber::release(fiber* f) {
#ifdef CAPECHO_TSAN
  if (f->tsan_fiber_ != nullptr) __tsan_destroy_fiber(f->tsan_fiber_);
#endif
  if (f->mapping_ != nullptr) (void)munmap(f->mapping_, f->mapping_bytes_);
  delete f;
}

fiber* fiber::current() { return running; }

bool fiber::run() {
  fiber* const outer = running;
  running = this;
  switch_in();
  running = outer;
  return finished_;
}

void fiber::suspend() { switch_out(false); }

// The entry point makecontext gives the new stack: the fiber's address comes
// in two halves, as makecontext passes only ints.
void fiber::start(unsigned high, unsigned low) {
  // NOLINTNEXTLINE(performance-no-int-to-ptr): makecontext passes only ints
  auto* f = reinterpret_cast<fiber*>(static_cast<uintptr_t>(high) << 32 | low);
  f->arrived_in_fiber();
  f->entry_(f->arg_);
  f->finished_ = true;
  f->switch_out(true);  // never returns: the stack is given up
}

void fiber::switch_in() {
#ifdef CAPECHO_ASAN
  void* fake = nullptr;
  __sanitizer_start_switch_fiber(&fake, stack_, stack_bytes_);
#endif
#ifdef CAPECHO_TSAN
  tsan_caller_ = __tsan_get_current_fiber();
  __tsan_switch_to_fiber(tsan_fiber_, 0);
#endif
  // cppcheck-suppress swapcontextCalled
  (void)swapcontext(&caller_, &context_);  // fails only on bad arguments
#ifdef CAPECHO_ASAN
  __sanitizer_finish_switch_fiber(fake, nullptr, nullptr);
#endif
}

void fiber::switch_out(bool finished) {
#ifdef CAPECHO_ASAN
  __sanitizer_start_switch_fiber(finished ? nullptr : &fake_stack_, caller_stack_,
                                 caller_stack_bytes_);
#endif
#ifdef CAPECHO_TSAN
  __tsan_switch_to_fiber(tsan_caller_, 0);
#endif
  (void)finished;
  // cppcheck-suppress swapcontextCalled
  (void)swapcontext(&context_, &caller_);
  arrived_in_fiber();  // resumed, perhaps by another worker
}

void fiber::arrived_in_fiber() {
#ifdef CAPECHO_ASAN
  __sanitizer_finish_switch_fiber(fake_stack_, &caller_stack_, &caller_stack_bytes_);
#endif
}

}  // namespace capecho
