// The fixed set of worker threads that run every session, and the choice of
// which one takes a new session. One worker per core packs sessions onto its
// epoll set; the others are solo, each serving one session alone with
// blocking calls. A new session goes to a solo worker that is free, else to
// the core's worker with the fewest: while sessions are few each is served
// by blocking calls, and once they are many each wake-up of a core's worker
// serves a batch. A session never moves, so the choice is made here.
#ifndef CAPECHO_SERVER_WORKER_SET_H
#define CAPECHO_SERVER_WORKER_SET_H

#include <atomic>
#include <chrono>
#include <memory>
#include <vector>

#include "worker.h"

namespace capecho {

class worker_set {
 public:
  // `packed` of the `count` workers pack sessions (at least one); the rest
  // are solo.
  worker_set(unsigned count, unsigned packed);
  worker_set(const worker_set&) = delete;
  worker_set& operator=(const worker_set&) = delete;

  // Starts the workers that are not running yet. True when all run; else
  // `why` says why the last one that failed could not start.
  bool start_missing(failure& why);

  // Hands a new session to a worker; false, and nothing done, when none
  // takes it.
  bool post(session* s);

  // Ends every worker thread; their sessions must have ended first.
  void stop_and_join();

  size_t size() const { return workers_.size(); }
  size_t started() const { return census_.started.load(std::memory_order_relaxed); }
  size_t total() const { return census_.sessions.load(std::memory_order_relaxed); }
  // Sessions in `state` across the workers, from any thread.
  size_t in_state(task_state state) const;
  size_t parked() const;  // in any state
  // Sessions alone on a solo worker, from any thread.
  size_t solo() const;

  // From any thread: no worker is stuck for longer than `period` (see
  // worker::responsive).
  bool responsive(std::chrono::steady_clock::duration period);

 private:
  worker_census census_;  // first: the workers use it until they are joined
  std::vector<std::unique_ptr<worker>> workers_;
};

// The cores this process may run on.
unsigned usable_cores();

// Workers when --workers does not say: one per core, and ten solo ones.
unsigned default_worker_count();

}  // namespace capecho

#endif  // CAPECHO_SERVER_WORKER_SET_H
