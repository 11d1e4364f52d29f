// Threads for sessions: each job runs on a parked worker if one is waiting,
// else on a new thread with a small stack. A worker that finishes parks for
// the next job while fewer than `cache_limit` are parked, and exits otherwise.
#ifndef CAPECHO_SERVER_WORKER_POOL_H
#define CAPECHO_SERVER_WORKER_POOL_H

#include <pthread.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "address.h"

namespace capecho {

struct session_job {
  int fd = -1;
  endpoint peer;
};

class worker_pool {
 public:
  using work_fn = std::function<void(const session_job&)>;

  worker_pool(size_t cache_limit, size_t stack_bytes, work_fn work);
  ~worker_pool();
  worker_pool(const worker_pool&) = delete;
  worker_pool& operator=(const worker_pool&) = delete;

  // False when no thread could be started for the job; it has not run.
  bool dispatch(const session_job& job);

  // Wakes the parked workers and joins every thread; running jobs are
  // waited for, so end them first.
  void stop_and_join();

 private:
  struct worker {
    worker_pool* pool = nullptr;
    pthread_t thread{};
    std::condition_variable wake;
    session_job job;
    bool has_job = false;
  };

  static void* thread_main(void* arg);
  void work_loop(worker& w);
  void reap_finished(std::unique_lock<std::mutex>& lock);

  const size_t cache_limit_;
  const size_t stack_bytes_;
  const work_fn work_;
  std::mutex mutex_;
  std::vector<worker*> parked_;
  std::vector<worker*> finished_;  // exited, waiting to be joined
  std::unordered_set<worker*> all_;
  bool stopping_ = false;
};

}  // namespace capecho

#endif  // CAPECHO_SERVER_WORKER_POOL_H
