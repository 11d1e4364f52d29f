#include "worker.h"

#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <sys/epoll.h>
#include <unistd.h>

#include "events.h"
#include "sanitizers.h"
#include "stack_switch.h"

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

// After a failed wait for the sessions' sockets: long enough not to spin on
// a failure that persists, short enough that its sessions hardly notice.
constexpr auto wait_retry_pause = std::chrono::milliseconds(100);

unsigned char* block_below(void* sp) {
  auto* at = static_cast<unsigned char*>(sp);
  return at - (reinterpret_cast<uintptr_t>(sp) & (frame_block - 1));
}

}  // namespace

worker::worker(worker_census& census, worker_role role) : census_(census), role_(role) {}

worker::~worker() { stop_and_join(); }

bool worker::start(failure& why) {
  if (!open_and_run(why)) {
    // Tried again later: what it opened would be held all the while.
    epoll_.reset();
    wake_.close();
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
  if (!wake_.open(why)) return false;
  epoll_event e{};
  e.events = EPOLLIN;
  e.data.ptr = nullptr;  // the wake-up
  if (epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, wake_.fd(), &e) != 0) {
    why = {"epoll_ctl", errno};
    return false;
  }
  // A thread not yet scheduled has not stalled: its start counts as a turn.
  last_turn_.store(std::chrono::steady_clock::now().time_since_epoch().count(),
                   std::memory_order_relaxed);
  return thread_.start<worker, &worker::loop>(this, thread_stack_bytes, why);
}

bool worker::post(session* s) {
  task& t = s->scheduled();
  bool wake = false;
  {
    std::lock_guard lock(mutex_);
    if (stop_asked_ || (solo() && sessions_.load(std::memory_order_relaxed) != 0)) return false;
    t.next = posted_;
    posted_ = &t;
    sessions_.fetch_add(1, std::memory_order_relaxed);
    wake = std::exchange(sleeping_, false);
  }
  if (wake) wake_.signal();
  return true;
}

void worker::stop_and_join() {
  if (!started()) return;
  {
    std::lock_guard lock(mutex_);
    stop_asked_ = true;
    stopping_.store(true);
  }
  wake_.signal();
  thread_.join();
  started_ = false;
}

void worker::loop() {
#ifdef CAPECHO_TSAN
  tsan_self_ = __tsan_get_current_fiber();
#endif
  epoll_event ready[events_per_wait];
  bool woke = false;  // the wake-up stamped this turn already
  for (;;) {
    // One clock read a turn, none per session call: a vDSO read, no system call.
    if (!woke)
      last_turn_.store(std::chrono::steady_clock::now().time_since_epoch().count(),
                       std::memory_order_relaxed);
    woke = false;
    take_posted();
    while (run_head_ != nullptr) {
      task* t = run_head_;
      run_head_ = t->next;
      if (run_head_ == nullptr) run_tail_ = nullptr;
      run(*t);
    }
    if (stop_reached()) {
      if (parked_ == nullptr) return;
      end_parked();
      continue;
    }
    // With new sessions posted the wait only looks: parked sessions' edges
    // and deadlines are seen however busily sessions arrive.
    const int n =
        epoll_wait(epoll_.get(), ready, events_per_wait, prepare_to_sleep() ? wait_ms() : 0);
    const int err = errno;
    const auto now = std::chrono::steady_clock::now();
    {
      std::lock_guard lock(mutex_);
      sleeping_ = false;
      last_turn_.store(now.time_since_epoch().count(), std::memory_order_relaxed);
    }
    woke = true;
    if (n < 0 && err != EINTR) wait_failed(err);
    for (int i = 0; i < n; ++i) {
      auto* t = static_cast<task*>(ready[i].data.ptr);
      if (t != nullptr) {
        wake_ready(*t, ready[i].events);
      } else {
        wake_.take();
      }
    }
    if (parked_with_deadline_ > 0 && now >= next_scan_) expire_deadlines(now);
  }
}

// The server asks only once its sessions have ended, or had their time to
// end.
bool worker::stop_reached() {
  std::lock_guard lock(mutex_);
  return stop_asked_ && posted_ == nullptr;
}

// A clean stop: the tasks still parked run once more, their waits fail
// from now on, and each ends, closes and frees what it holds.
void worker::end_parked() {
  ending_all_ = true;
  while (parked_ != nullptr) {
    task& t = *parked_;
    t.timed_out = true;
    t.ready = 0;  // so that every call of its from now on waits, and fails
    unpark(t);
    make_runnable(t);
  }
}

// A wait that fails is logged once a second, not more, and retried after a
// pause, so a failure that persists does not spin the thread. A post or a
// stop still ends the pause early.
void worker::wait_failed(int err) {
  unsigned suppressed = 0;
  if (wait_errors_.allow(suppressed)) log_call_failed("epoll_wait", err, suppressed);
  pollfd woken{wake_.fd(), POLLIN, 0};
  if (poll(&woken, 1, static_cast<int>(wait_retry_pause.count())) > 0) wake_.take();
}

// New tasks are registered once, for both directions, edge-triggered; a solo
// worker's task only once it first parks: until then it blocks in its calls,
// and every wake-up of its socket would pass through the epoll set for
// nothing.
void worker::take_posted() {
  task* list = nullptr;
  {
    std::lock_guard lock(mutex_);
    list = std::exchange(posted_, nullptr);
  }
  while (list != nullptr) {
    task& t = *list;
    list = t.next;
    t.home = this;
    bump(in_state_[static_cast<size_t>(t.state)], +1);
    t.ready = EPOLLIN | EPOLLOUT;  // not known yet: the first call tries
    if (!solo()) watch(t);
    make_runnable(t);
  }
}

// A task that cannot be watched is served no further than its first wait.
// Registered late, it misses no edge: the registration reports what the
// socket is ready for already.
bool worker::watch(task& t) {
  epoll_event e{};
  // Urgent data is asked for too: a read stops at its mark.
  e.events = EPOLLIN | EPOLLPRI | EPOLLOUT | EPOLLRDHUP | EPOLLET;
  e.data.ptr = &t;
  if (epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, t.fd, &e) == 0) {
    t.watched = true;
    return true;
  }
  const int err = errno;
  t.lost = true;
  unsigned suppressed = 0;
  if (census_.unwatched.allow(suppressed)) log_session_unwatched(err, suppressed);
  return false;
}

void worker::make_runnable(task& t) {
  t.next = nullptr;
  (run_tail_ != nullptr ? run_tail_->next : run_head_) = &t;
  run_tail_ = &t;
}

void worker::run(task& t) {
  if (owner_ != &t) take_stack(t);
  switch_to(t);
  if (t.ended) finish(t);
}

// Puts t's frames on the stack, copying out those of the task that had it.
void worker::take_stack(task& t) {
  if (owner_ != nullptr) {
    task& owner = *owner_;
    if (owner.frames.save(block_below(owner.sp), stack_.top())) {
      owner.frames_held = true;
      owner_ = nullptr;
    } else {
      lose_frames(owner);
    }
  }
  if (t.frames_held) {
    t.frames.restore(block_below(t.sp), stack_.top());
    t.frames_held = false;
  } else if (t.sp == nullptr) {
    t.sp = prepare_stack(stack_.top(), t.entry, t.owner);
  }
  owner_ = &t;
}

// No memory to copy the owner's frames out: it cannot wait any longer, so it
// runs now, its pending call fails, and it ends. It costs that task alone.
void worker::lose_frames(task& owner) {
  owner.lost = true;
  unsigned suppressed = 0;
  if (census_.frames_lost.allow(suppressed)) log_frames_lost(suppressed);
  if (owner.waiting_for != 0) {
    unpark(owner);
  } else {
    for (task** at = &run_head_; *at != nullptr; at = &(*at)->next) {
      if (*at != &owner) continue;
      *at = owner.next;
      if (run_tail_ == &owner) {
        run_tail_ = nullptr;
        for (task* r = run_head_; r != nullptr; r = r->next) run_tail_ = r;
      }
      break;
    }
  }
  switch_to(owner);
  if (owner.ended) finish(owner);
}

void worker::switch_to(task& t) {
#ifdef CAPECHO_ASAN
  void* fake = nullptr;
  __sanitizer_start_switch_fiber(&fake, stack_.base(), stack_.bytes());
#endif
#ifdef CAPECHO_TSAN
  if (t.tsan_fiber == nullptr) t.tsan_fiber = __tsan_create_fiber(0);
  __tsan_switch_to_fiber(t.tsan_fiber, 0);
#endif
  set_running(&t);
  capecho_stack_switch(&scheduler_sp_, t.sp);
  set_running(nullptr);
#ifdef CAPECHO_ASAN
  __sanitizer_finish_switch_fiber(fake, nullptr, nullptr);
#endif
}

void worker::entered(task&) {
#ifdef CAPECHO_ASAN
  __sanitizer_finish_switch_fiber(nullptr, &thread_stack_bottom_, &thread_stack_bytes_);
#endif
}

bool worker::wait(task& t, uint32_t events, steady_time deadline) {
  if (t.lost) {
    errno = ENOMEM;
    return false;
  }
  if (ending_all_) {
    errno = ETIMEDOUT;
    return false;
  }
  if (!t.watched && !watch(t)) {
    errno = ENOMEM;
    return false;
  }
  if (ready_for(t, events)) return true;
  t.waiting_for = events;
  t.short_reads_retried = 0;  // a turn ends here
  t.deadline = deadline;
  t.timed_out = false;
  // A session parked in its header stays reading_header: that says more.
  const bool serving = t.state == task_state::serving;
  if (serving) moved(t, task_state::parked);
  bump(parked_count_, +1);
  t.parked_prev = nullptr;
  t.parked_next = parked_;
  if (parked_ != nullptr) parked_->parked_prev = &t;
  parked_ = &t;
  if (deadline != no_deadline) ++parked_with_deadline_;
  leave(t);  // the worker runs others until the socket is ready
  bump(parked_count_, -1);
  if (serving) moved(t, task_state::serving);
  t.deadline = no_deadline;
  if (t.lost || t.timed_out) {
    errno = t.lost ? ENOMEM : ETIMEDOUT;
    return false;
  }
  return true;
}

void worker::end(task& t) {
  t.ended = true;
  leave(t);
  __builtin_unreachable();
}

// On the task's stack: back to the loop, until the task runs again (never,
// once it has ended).
void worker::leave(task& t) {
#ifdef CAPECHO_ASAN
  __sanitizer_start_switch_fiber(t.ended ? nullptr : &t.fake_stack, thread_stack_bottom_,
                                 thread_stack_bytes_);
#endif
#ifdef CAPECHO_TSAN
  __tsan_switch_to_fiber(tsan_self_, 0);
#endif
  capecho_stack_switch(&t.sp, scheduler_sp_);
#ifdef CAPECHO_ASAN
  __sanitizer_finish_switch_fiber(t.fake_stack, &thread_stack_bottom_, &thread_stack_bytes_);
#endif
}

// Only this worker's thread writes its counts, so no atomic read-modify-write.
void worker::bump(std::atomic<size_t>& count, int change) {
  count.store(count.load(std::memory_order_relaxed) + static_cast<size_t>(change),
              std::memory_order_relaxed);
}

void worker::moved(task& t, task_state to) {
  bump(in_state_[static_cast<size_t>(t.state)], -1);
  bump(in_state_[static_cast<size_t>(to)], +1);
  t.state = to;
}

void worker::finish(task& t) {
  if (owner_ == &t) owner_ = nullptr;
  bump(in_state_[static_cast<size_t>(t.state)], -1);
#ifdef CAPECHO_TSAN
  if (t.tsan_fiber != nullptr) __tsan_destroy_fiber(t.tsan_fiber);
#endif
  delete static_cast<session*>(t.owner);
  sessions_.fetch_sub(1, std::memory_order_relaxed);
  census_.sessions.fetch_sub(1, std::memory_order_relaxed);
}

void worker::wake_ready(task& t, uint32_t events) {
  note_edge(t, events);
  if (!ready_for(t, t.waiting_for)) return;
  unpark(t);
  make_runnable(t);
}

void worker::unpark(task& t) {
  (t.parked_prev != nullptr ? t.parked_prev->parked_next : parked_) = t.parked_next;
  if (t.parked_next != nullptr) t.parked_next->parked_prev = t.parked_prev;
  t.waiting_for = 0;
  if (t.deadline != no_deadline) --parked_with_deadline_;
}

void worker::expire_deadlines(std::chrono::steady_clock::time_point now) {
  next_scan_ = now + deadline_scan;
  for (task* t = parked_; t != nullptr;) {
    task* next = t->parked_next;
    if (t->deadline <= now) {
      t->timed_out = true;
      unpark(*t);
      make_runnable(*t);
    }
    t = next;
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

// Blocking calls are a solo worker's: its one session is all it runs, and
// post() gives it no other till that one ends. On every call, so no fence.
bool worker::may_block(task&) {
  if (!solo() || stopping_.load(std::memory_order_relaxed)) return false;
  blocking_.store(true, std::memory_order_relaxed);
  return true;
}

bool worker::responsive(std::chrono::steady_clock::time_point now,
                        std::chrono::steady_clock::duration period) {
  if (!started() || blocking_.load(std::memory_order_relaxed)) return true;
  std::lock_guard lock(mutex_);
  if (sleeping_) return true;
  const std::chrono::steady_clock::duration since(now.time_since_epoch().count() -
                                                  last_turn_.load(std::memory_order_relaxed));
  return since <= period;
}

void worker::done_blocking(task&) { blocking_.store(false, std::memory_order_relaxed); }

}  // namespace capecho
