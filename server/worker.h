// One worker thread: it runs its sessions one at a time on one shared
// stack, and waits for their sockets itself, with one epoll set in which
// each socket is registered once, edge-triggered. A session that would
// block parks: it switches back here (no system call) and the worker runs
// the next ready one. Its frames stay on the stack until another session
// needs it; only then are they copied out.
#ifndef CAPECHO_SERVER_WORKER_H
#define CAPECHO_SERVER_WORKER_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <chrono>
#include <mutex>

#include "failure.h"
#include "session.h"
#include "shared_stack.h"
#include "unique_fd.h"

namespace capecho {

class worker_set;

class worker {
 public:
  explicit worker(worker_set& set);
  ~worker();
  worker(const worker&) = delete;
  worker& operator=(const worker&) = delete;

  // Maps the stack, opens the epoll set and starts the thread.
  bool start(failure& why);
  bool started() const { return started_; }

  // From another thread: run `s` here. False, with nothing done, while the
  // worker blocks in a call for its only session; the caller picks another.
  bool post(session* s);

  // Ends the thread once it has no sessions left; then joins it.
  void stop_and_join();

  size_t sessions() const { return sessions_.load(std::memory_order_relaxed); }
  size_t parked() const { return parked_count_.load(std::memory_order_relaxed); }

  // From a session on this worker.
  bool may_block();
  void done_blocking();
  void park(session& s);

 private:
  bool open_and_run(failure& why);
  static void* thread_main(void* self);
  void loop();
  void take_posted();
  void run(session& s);
  void take_stack(session& s);
  void lose_frames(session& owner);
  void switch_to(session& s);
  void finish(session& s);
  void wake_ready(session& s, uint32_t events);
  void unpark(session& s);
  void expire_deadlines();
  int wait_ms() const;
  bool prepare_to_sleep();
  void make_runnable(session& s);

  worker_set& set_;
  shared_stack stack_;
  unique_fd epoll_;
  unique_fd wake_;
  pthread_t thread_{};
  bool started_ = false;

  // Shared with the threads that post sessions.
  std::mutex mutex_;
  session* posted_ = nullptr;
  bool sleeping_ = false;
  bool stop_asked_ = false;
  // Read on every call of the only session, so without the lock: post()
  // sets has_posted_ and then reads blocking_, may_block() the other way
  // round, both sequentially consistent, so at least one sees the other.
  std::atomic<bool> has_posted_{false};
  std::atomic<bool> blocking_{false};
  std::atomic<bool> stopping_{false};
  std::atomic<size_t> sessions_{0};
  std::atomic<size_t> parked_count_{0};

  // The worker thread's own.
  void* scheduler_sp_ = nullptr;
  session* owner_ = nullptr;    // whose frames are on the stack
  session* running_ = nullptr;  // the session switched to, while it runs
  session* run_head_ = nullptr;
  session* run_tail_ = nullptr;
  session* parked_ = nullptr;  // every parked session; via parked_next_
  size_t parked_with_deadline_ = 0;
  std::chrono::steady_clock::time_point next_scan_{};
  void* tsan_self_ = nullptr;
  const void* thread_stack_bottom_ = nullptr;
  size_t thread_stack_bytes_ = 0;

  friend class session;
};

}  // namespace capecho

#endif  // CAPECHO_SERVER_WORKER_H
