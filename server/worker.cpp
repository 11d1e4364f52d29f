#include "worker.h"

#include <errno.h>
#include <stdint.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "events.h"
#include "sanitizers.h"
#include "stack_switch.h"
#include "worker_set.h"

namespace capecho {
namespace {

#ifdef CAPECHO_INSTRUMENTED
constexpr size_t stack_bytes = size_t{8} << 20;  // sanitizers multiply stack use
constexpr size_t thread_stack_bytes = 0;         // the default, for the same reason
#else
constexpr size_t stack_bytes = size_t{256} << 10;  // a session needs a few KiB
// The thread's own stack runs only the loop that schedules sessions: the
// default of 8 MiB would cost each worker that much address space.
constexpr size_t thread_stack_bytes = size_t{256} << 10;
#endif

// Deadlines are idle and header time-outs of seconds: a quarter second late
// is fine, and a scan costs a walk over the parked sessions.
constexpr auto deadline_scan = std::chrono::milliseconds(250);

constexpr int events_per_wait = 256;

thread_local worker* this_worker = nullptr;

unsigned char* block_below(void* sp) {
  auto* at = static_cast<unsigned char*>(sp);
  return at - (reinterpret_cast<uintptr_t>(sp) & (frame_block - 1));
}

}  // namespace

worker::worker(worker_set& set) : set_(set) {}

worker::~worker() { stop_and_join(); }

bool worker::start(failure& why) {
  if (!open_and_run(why)) {
    // Tried again later: what it opened would be held all the while.
    epoll_.reset();
    wake_.reset();
    stack_.unmap();
    return false;
  }
  started_ = true;
  return true;
}

bool worker::open_and_run(failure& why) {
  if (!stack_.map(stack_bytes)) {
    why = {"mmap", errno};
    return false;
  }
  epoll_.reset(epoll_create1(EPOLL_CLOEXEC));
  if (!epoll_.valid()) {
    why = {"epoll_create1", errno};
    return false;
  }
  wake_.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake_.valid()) {
    why = {"eventfd", errno};
    return false;
  }
  epoll_event e{};
  e.events = EPOLLIN;
  e.data.ptr = nullptr;  // the wake-up
  if (epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, wake_.get(), &e) != 0) {
    why = {"epoll_ctl", errno};
    return false;
  }
  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc != 0) {
    why = {"pthread_attr_init", rc};
    return false;
  }
  const char* call = "pthread_attr_setstacksize";
  rc = thread_stack_bytes != 0 ? pthread_attr_setstacksize(&attr, thread_stack_bytes) : 0;
  if (rc == 0) {
    call = "pthread_create";
    rc = pthread_create(&thread_, &attr, &worker::thread_main, this);
  }
  (void)pthread_attr_destroy(&attr);  // fails only for an attribute never set up
  if (rc != 0) {
    why = {call, rc};
    return false;
  }
  return true;
}

bool worker::post(session* s) {
  bool wake = false;
  {
    std::lock_guard lock(mutex_);
    if (stop_asked_) return false;
    const bool had_posted = has_posted_.exchange(true);
    if (blocking_.load()) {
      has_posted_.store(had_posted);
      return false;
    }
    s->next_ = posted_;
    posted_ = s;
    sessions_.fetch_add(1, std::memory_order_relaxed);
    wake = std::exchange(sleeping_, false);
  }
  const uint64_t one = 1;
  if (wake && write(wake_.get(), &one, sizeof one) < 0) {
    // The counter is already non-zero: the worker wakes all the same.
  }
  return true;
}

void worker::stop_and_join() {
  if (!started_) return;
  {
    std::lock_guard lock(mutex_);
    stop_asked_ = true;
    stopping_.store(true);
  }
  const uint64_t one = 1;
  if (write(wake_.get(), &one, sizeof one) < 0) {
    // The counter is already non-zero: the worker wakes all the same.
  }
  pthread_join(thread_, nullptr);
  started_ = false;
}

void* worker::thread_main(void* self) {
  static_cast<worker*>(self)->loop();
  return nullptr;
}

void worker::loop() {
  this_worker = this;
#ifdef CAPECHO_TSAN
  tsan_self_ = __tsan_get_current_fiber();
#endif
  epoll_event ready[events_per_wait];
  for (;;) {
    take_posted();
    while (run_head_ != nullptr) {
      session* s = run_head_;
      run_head_ = s->next_;
      if (run_head_ == nullptr) run_tail_ = nullptr;
      run(*s);
    }
    {
      std::lock_guard lock(mutex_);
      // The server asks only once its sessions have ended, or had their
      // time to end.
      if (stop_asked_ && posted_ == nullptr) return;
    }
    if (!prepare_to_sleep()) continue;
    const int n = epoll_wait(epoll_.get(), ready, events_per_wait, wait_ms());
    {
      std::lock_guard lock(mutex_);
      sleeping_ = false;
    }
    if (n < 0 && errno != EINTR) log_call_failed("epoll_wait", errno);
    for (int i = 0; i < n; ++i) {
      auto* s = static_cast<session*>(ready[i].data.ptr);
      if (s != nullptr) {
        wake_ready(*s, ready[i].events);
      } else {
        uint64_t count = 0;
        (void)read(wake_.get(), &count, sizeof count);  // EAGAIN: nothing to take
      }
    }
    if (parked_with_deadline_ > 0 && std::chrono::steady_clock::now() >= next_scan_)
      expire_deadlines();
  }
}

// New sessions are registered once, for both directions, edge-triggered.
void worker::take_posted() {
  session* list = nullptr;
  {
    std::lock_guard lock(mutex_);
    list = std::exchange(posted_, nullptr);
    has_posted_.store(false);
  }
  while (list != nullptr) {
    session& s = *list;
    list = s.next_;
    s.home_ = this;
    s.ready_ = EPOLLIN | EPOLLOUT;  // not known yet: the first call tries
    epoll_event e{};
    e.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    e.data.ptr = &s;
    // A session that cannot be watched is served no further than its
    // first wait.
    if (epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, s.fd(), &e) != 0) {
      s.lost_ = true;
      set_.session_unwatched(errno);
    }
    make_runnable(s);
  }
}

void worker::make_runnable(session& s) {
  s.next_ = nullptr;
  (run_tail_ != nullptr ? run_tail_->next_ : run_head_) = &s;
  run_tail_ = &s;
}

void worker::run(session& s) {
  if (owner_ != &s) take_stack(s);
  running_ = &s;
  switch_to(s);
  running_ = nullptr;
  if (s.state_ == session_state::ended) finish(s);
}

// Puts s's frames on the stack, copying out those of the session that had
// it.
void worker::take_stack(session& s) {
  if (owner_ != nullptr) {
    session& owner = *owner_;
    if (owner.frames_.save(block_below(owner.sp_), stack_.top())) {
      owner.frames_held_ = true;
      owner_ = nullptr;
    } else {
      lose_frames(owner);
    }
  }
  if (s.frames_held_) {
    s.frames_.restore(block_below(s.sp_), stack_.top());
    s.frames_held_ = false;
  } else if (s.sp_ == nullptr) {
    s.sp_ = prepare_stack(stack_.top(), &session::main, &s);
  }
  owner_ = &s;
}

// No memory to copy the owner's frames out: it cannot wait any longer, so it
// runs now, its pending call fails, and it ends. It costs that session alone.
void worker::lose_frames(session& owner) {
  owner.lost_ = true;
  set_.frames_lost();
  if (owner.waiting_for_ != 0) {
    unpark(owner);
  } else {
    for (session** at = &run_head_; *at != nullptr; at = &(*at)->next_) {
      if (*at != &owner) continue;
      *at = owner.next_;
      if (run_tail_ == &owner) {
        run_tail_ = nullptr;
        for (session* t = run_head_; t != nullptr; t = t->next_) run_tail_ = t;
      }
      break;
    }
  }
  running_ = &owner;
  switch_to(owner);
  running_ = nullptr;
  if (owner.state_ == session_state::ended) finish(owner);
}

void worker::switch_to(session& s) {
#ifdef CAPECHO_ASAN
  void* fake = nullptr;
  __sanitizer_start_switch_fiber(&fake, stack_.base(), stack_.bytes());
#endif
#ifdef CAPECHO_TSAN
  if (s.tsan_fiber_ == nullptr) s.tsan_fiber_ = __tsan_create_fiber(0);
  __tsan_switch_to_fiber(s.tsan_fiber_, 0);
#endif
  capecho_stack_switch(&scheduler_sp_, s.sp_);
#ifdef CAPECHO_ASAN
  __sanitizer_finish_switch_fiber(fake, nullptr, nullptr);
#endif
}

// On the session's stack: back to the loop, until the session runs again.
void worker::park(session& s) {
  if (s.state_ == session_state::parked) {
    s.parked_prev_ = nullptr;
    s.parked_next_ = parked_;
    if (parked_ != nullptr) parked_->parked_prev_ = &s;
    parked_ = &s;
    parked_count_.fetch_add(1, std::memory_order_relaxed);
    if (s.deadline_ != no_deadline) ++parked_with_deadline_;
  }
  const bool ended = s.state_ == session_state::ended;
#ifdef CAPECHO_ASAN
  __sanitizer_start_switch_fiber(ended ? nullptr : &s.fake_stack_, thread_stack_bottom_,
                                 thread_stack_bytes_);
#endif
#ifdef CAPECHO_TSAN
  __tsan_switch_to_fiber(tsan_self_, 0);
#endif
  (void)ended;
  capecho_stack_switch(&s.sp_, scheduler_sp_);
#ifdef CAPECHO_ASAN
  __sanitizer_finish_switch_fiber(s.fake_stack_, &thread_stack_bottom_, &thread_stack_bytes_);
#endif
}

void worker::finish(session& s) {
  if (owner_ == &s) owner_ = nullptr;
#ifdef CAPECHO_TSAN
  if (s.tsan_fiber_ != nullptr) __tsan_destroy_fiber(s.tsan_fiber_);
#endif
  delete &s;
  sessions_.fetch_sub(1, std::memory_order_relaxed);
  set_.session_ended();
}

void worker::wake_ready(session& s, uint32_t events) {
  if ((events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0) s.ready_ |= EPOLLIN;
  if ((events & (EPOLLOUT | EPOLLHUP | EPOLLERR)) != 0) s.ready_ |= EPOLLOUT;
  if ((s.ready_ & s.waiting_for_) == 0) return;
  unpark(s);
  make_runnable(s);
}

void worker::unpark(session& s) {
  (s.parked_prev_ != nullptr ? s.parked_prev_->parked_next_ : parked_) = s.parked_next_;
  if (s.parked_next_ != nullptr) s.parked_next_->parked_prev_ = s.parked_prev_;
  s.waiting_for_ = 0;
  parked_count_.fetch_sub(1, std::memory_order_relaxed);
  if (s.deadline_ != no_deadline) --parked_with_deadline_;
}

void worker::expire_deadlines() {
  const auto now = std::chrono::steady_clock::now();
  next_scan_ = now + deadline_scan;
  for (session* s = parked_; s != nullptr;) {
    session* next = s->parked_next_;
    if (s->deadline_ <= now) {
      s->timed_out_ = true;
      unpark(*s);
      make_runnable(*s);
    }
    s = next;
  }
}

int worker::wait_ms() const {
  if (parked_with_deadline_ == 0) return -1;
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(next_scan_ - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<long long>(left.count(), 0));
}

// The thread that posts a session writes the wake-up only to a sleeper.
bool worker::prepare_to_sleep() {
  std::lock_guard lock(mutex_);
  if (posted_ != nullptr || stop_asked_) return false;
  sleeping_ = true;
  return true;
}

// One blocking call is allowed only to the worker's one session while there
// are fewer sessions than workers: then no session can be waiting behind it,
// and a new one goes to another worker (post() refuses while it blocks).
bool worker::may_block() {
  if (sessions_.load(std::memory_order_relaxed) != 1 || set_.total() >= set_.started())
    return false;
  blocking_.store(true);
  if (has_posted_.load() || stopping_.load()) {
    blocking_.store(false, std::memory_order_release);
    return false;
  }
  return true;
}

void worker::done_blocking() { blocking_.store(false, std::memory_order_release); }

session* session::running() {
  const worker* w = this_worker;
  return w != nullptr ? w->running_ : nullptr;
}

}  // namespace capecho
