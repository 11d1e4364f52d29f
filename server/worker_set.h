// The fixed set of worker threads that run every session, and the choice of
// which one takes a new session: the one with the fewest.
#ifndef CAPECHO_SERVER_WORKER_SET_H
#define CAPECHO_SERVER_WORKER_SET_H

#include <atomic>
#include <memory>
#include <vector>

#include "log.h"
#include "worker.h"

namespace capecho {

class worker_set {
 public:
  explicit worker_set(unsigned count);
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
  size_t started() const { return started_.load(std::memory_order_relaxed); }
  size_t total() const { return total_.load(std::memory_order_relaxed); }
  size_t parked() const;

  // From the workers.
  void session_ended() { total_.fetch_sub(1, std::memory_order_relaxed); }
  // A session ends early: its frames could not be saved, or its socket
  // not watched. Logged at most once a second for each.
  void frames_lost();
  void session_unwatched(int err);

 private:
  std::vector<std::unique_ptr<worker>> workers_;
  std::atomic<size_t> started_{0};
  std::atomic<size_t> total_{0};
  rate_limit frames_lost_;
  rate_limit unwatched_;
};

// Workers when --workers does not say: one per core this process may run
// on, and at least a dozen.
unsigned default_worker_count();

}  // namespace capecho

#endif  // CAPECHO_SERVER_WORKER_SET_H
