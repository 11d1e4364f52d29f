// One worker thread: it runs its sessions one at a time on one shared
// stack, and waits for their sockets itself, with one epoll set in which
// each socket is registered once, edge-triggered. A session that would
// block parks: it switches back here (no system call) and the worker runs
// the next ready one. Its frames stay on the stack until another session
// needs it; only then are they copied out.
#ifndef CAPECHO_SERVER_WORKER_H
#define CAPECHO_SERVER_WORKER_H

#include <stddef.h>
#include <stdint.h>

#include <array>
#include <atomic>
#include <chrono>
#include <mutex>

#include "failure.h"
#include "log.h"
#include "owned_thread.h"
#include "scheduler.h"
#include "session.h"
#include "shared_stack.h"
#include "unique_fd.h"

namespace capecho {

// What the workers of one set count together: the sessions they run in all,
// and how many of them have started.
// A session that ends early (its frames could not be saved, its socket not
// watched) is logged at most once a second for the lot.
struct worker_census {
  std::atomic<size_t> sessions{0};
  std::atomic<size_t> started{0};
  rate_limit frames_lost;
  rate_limit unwatched;
};

// A worker either runs one session alone, by blocking calls (a solo
// worker), or packs any number of them onto one epoll set (a core's
// worker). Which it is never changes.
enum class worker_role { packed, solo };

class worker final : public scheduler {
 public:
  worker(worker_census& census, worker_role role);
  ~worker();
  worker(const worker&) = delete;
  worker& operator=(const worker&) = delete;

  // Maps the stack, opens the epoll set and starts the thread.
  bool start(failure& why);
  bool started() const { return started_.load(std::memory_order_relaxed); }

  // From another thread: run `s` here. False, with nothing done, when the
  // worker stops, or is solo and runs a session already; the caller picks
  // another.
  bool post(session* s);

  // Ends the thread once it has no sessions left; then joins it.
  void stop_and_join();

  // From any thread, as often as asked: false when the worker is stuck, that
  // is busy (neither waiting for its sessions nor blocking in its only
  // session's call, which has a time-out) with no new turn of its loop for
  // longer than `period`.
  bool responsive(std::chrono::steady_clock::time_point now,
                  std::chrono::steady_clock::duration period);

  size_t sessions() const { return sessions_.load(std::memory_order_relaxed); }
  bool solo() const { return role_ == worker_role::solo; }
  // Its sessions in `state` (one parked in its header counts as reading it),
  // and all that are parked, from any thread.
  size_t in_state(task_state state) const {
    return in_state_[static_cast<size_t>(state)].load(std::memory_order_relaxed);
  }
  size_t parked() const { return parked_count_.load(std::memory_order_relaxed); }

  // What its sessions ask of it (scheduler.h), on its thread.
  void entered(task& t) override;
  bool wait(task& t, uint32_t events, steady_time deadline) override;
  bool may_block(task& t) override;
  void done_blocking(task& t) override;
  void moved(task& t, task_state to) override;
  [[noreturn]] void end(task& t) override;

 private:
  bool open_and_run(failure& why);
  void loop();
  bool stop_reached();
  void end_parked();
  void wait_failed(int err);
  void take_posted();
  bool watch(task& t);
  void run(task& t);
  void take_stack(task& t);
  void lose_frames(task& owner);
  void switch_to(task& t);
  void leave(task& t);
  void finish(task& t);
  void wake_ready(task& t, uint32_t events);
  void unpark(task& t);
  void expire_deadlines(std::chrono::steady_clock::time_point now);
  int wait_ms() const;
  bool prepare_to_sleep();
  void make_runnable(task& t);
  static void bump(std::atomic<size_t>& count, int change);

  worker_census& census_;
  const worker_role role_;
  shared_stack stack_;
  unique_fd epoll_;
  wake_up wake_;
  owned_thread thread_;
  std::atomic<bool> started_{false};  // read by the health check too

  // Shared with the threads that post sessions.
  std::mutex mutex_;
  task* posted_ = nullptr;
  bool sleeping_ = false;
  bool stop_asked_ = false;
  // Set around each blocking call, for the health check alone: post() never
  // gives a solo worker a second session, so no handshake is needed.
  std::atomic<bool> blocking_{false};
  std::atomic<bool> stopping_{false};
  std::atomic<size_t> sessions_{0};
  std::array<std::atomic<size_t>, task_states> in_state_{};
  std::atomic<size_t> parked_count_{0};
  // When the loop last began a turn or woke, in steady_clock ticks; stored
  // under mutex_ when it wakes, so it is never older than sleeping_ says.
  std::atomic<std::chrono::steady_clock::rep> last_turn_{0};

  // The worker thread's own.
  void* scheduler_sp_ = nullptr;
  task* owner_ = nullptr;  // whose frames are on the stack
  task* run_head_ = nullptr;
  task* run_tail_ = nullptr;
  task* parked_ = nullptr;  // every parked task; via parked_next
  size_t parked_with_deadline_ = 0;
  bool ending_all_ = false;
  rate_limit wait_errors_;
  std::chrono::steady_clock::time_point next_scan_{};
#ifdef CAPECHO_TSAN
  void* tsan_self_ = nullptr;
#endif
#ifdef CAPECHO_ASAN
  const void* thread_stack_bottom_ = nullptr;
  size_t thread_stack_bytes_ = 0;
#endif
};

}  // namespace capecho

#endif  // CAPECHO_SERVER_WORKER_H
