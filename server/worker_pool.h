// Threads for sessions. A thread is reserved before its connection is
// accepted, so a thread that cannot be started leaves the client waiting in
// the backlog instead of costing it its connection. A reservation is a parked
// worker if one is waiting, else a new thread with a small stack. A worker
// that finishes parks for the next job while fewer than `cache_limit` are
// idle (parked or reserved), and exits otherwise.
//
// Nothing here allocates after a thread exists: workers are linked into
// intrusive lists, so running out of memory never stops a worker midway.
#ifndef CAPECHO_SERVER_WORKER_POOL_H
#define CAPECHO_SERVER_WORKER_POOL_H

#include <pthread.h>

#include <condition_variable>
#include <functional>
#include <mutex>

#include "address.h"

namespace capecho {

class fiber;

struct session_job {
  int fd = -1;  // owned by the job from start() on
  endpoint peer;
  fiber* resume = nullptr;  // instead: a parked session to run on
};

class worker_pool {
 public:
  struct worker;
  using work_fn = std::function<void(const session_job&)>;

  worker_pool(size_t cache_limit, size_t stack_bytes, work_fn work);
  ~worker_pool();
  worker_pool(const worker_pool&) = delete;
  worker_pool& operator=(const worker_pool&) = delete;

  // A worker ready for one job, or null with the failed call and its reason
  // in `error` when no thread can be started (or the pool is stopping).
  worker* reserve(std::string& error);

  // Runs the job on a reserved worker.
  void start(worker* w, const session_job& job);

  // Gives back a reservation that got no job.
  void release(worker* w);

  // Wakes every waiting worker and joins every thread; running jobs are
  // waited for, so end them first.
  void stop_and_join();

  size_t parked() const;
  size_t threads() const;

 private:
  static void* thread_main(void* arg);
  void work_loop(worker& w);
  worker* start_thread(std::string& error);
  void reap_finished(std::unique_lock<std::mutex>& lock);
  void park(worker* w);
  void forget(worker* w);

  const size_t cache_limit_;
  const size_t stack_bytes_;
  const work_fn work_;
  mutable std::mutex mutex_;
  worker* parked_ = nullptr;    // via next
  worker* finished_ = nullptr;  // exited, waiting to be joined; via next
  worker* all_ = nullptr;       // every thread not yet joined; via all_prev/all_next
  size_t parked_count_ = 0;
  size_t reserved_count_ = 0;
  size_t thread_count_ = 0;
  bool stopping_ = false;
};

}  // namespace capecho

#endif  // CAPECHO_SERVER_WORKER_POOL_H
