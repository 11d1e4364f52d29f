#include "worker_pool.h"

#include <limits.h>

#include <algorithm>
#include <new>
#include <utility>

#include "log.h"

namespace capecho {

struct worker_pool::worker {
  worker_pool* pool = nullptr;
  pthread_t thread{};
  std::condition_variable wake;
  session_job job;
  bool has_job = false;
  worker* next = nullptr;
  worker* all_prev = nullptr;
  worker* all_next = nullptr;
};

worker_pool::worker_pool(size_t cache_limit, size_t stack_bytes, work_fn work)
    : cache_limit_(cache_limit),
      stack_bytes_(std::max(stack_bytes, static_cast<size_t>(PTHREAD_STACK_MIN))),
      work_(std::move(work)) {}

worker_pool::~worker_pool() { stop_and_join(); }

void* worker_pool::thread_main(void* arg) {
  auto* w = static_cast<worker*>(arg);
  w->pool->work_loop(*w);
  return nullptr;
}

void worker_pool::work_loop(worker& w) {
  std::unique_lock lock(mutex_);
  for (;;) {
    w.wake.wait(lock, [&] { return w.has_job || stopping_; });
    if (!w.has_job) break;
    const session_job job = w.job;
    w.has_job = false;
    lock.unlock();
    work_(job);
    lock.lock();
    // A reservation waiting for its client is one of the idle threads kept.
    if (stopping_ || parked_count_ + reserved_count_ >= cache_limit_) break;
    park(&w);
  }
  if (stopping_) return;  // stop_and_join has taken every thread already
  w.next = finished_;
  finished_ = &w;
}

void worker_pool::park(worker* w) {
  w->next = parked_;
  parked_ = w;
  ++parked_count_;
}

void worker_pool::forget(worker* w) {
  (w->all_prev ? w->all_prev->all_next : all_) = w->all_next;
  if (w->all_next) w->all_next->all_prev = w->all_prev;
  --thread_count_;
}

// Joining happens outside the lock; a finished thread needs the lock no more.
void worker_pool::reap_finished(std::unique_lock<std::mutex>& lock) {
  worker* done = std::exchange(finished_, nullptr);
  for (worker* w = done; w; w = w->next) forget(w);
  lock.unlock();
  while (done) {
    worker* w = done;
    done = done->next;
    pthread_join(w->thread, nullptr);
    delete w;
  }
  lock.lock();
}

worker_pool::worker* worker_pool::start_thread(std::string& error) {
  auto* w = new (std::nothrow) worker;
  if (w == nullptr) {
    error = "cannot allocate a worker";
    return nullptr;
  }
  w->pool = this;
  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc != 0) {
    delete w;
    error = "pthread_attr_init: " + error_text(rc);
    return nullptr;
  }
  rc = pthread_attr_setstacksize(&attr, stack_bytes_);
  if (rc != 0) {
    error = "pthread_attr_setstacksize: " + error_text(rc);
  } else {
    rc = pthread_create(&w->thread, &attr, thread_main, w);
    if (rc != 0) error = "pthread_create: " + error_text(rc);
  }
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete w;
    return nullptr;
  }
  return w;
}

worker_pool::worker* worker_pool::reserve(std::string& error) {
  std::unique_lock lock(mutex_);
  if (finished_) reap_finished(lock);
  if (stopping_) {
    error = "stopping";
    return nullptr;
  }
  if (parked_) {
    worker* w = parked_;
    parked_ = w->next;
    --parked_count_;
    ++reserved_count_;
    return w;
  }
  // The new thread waits on the lock, then for its job.
  worker* w = start_thread(error);
  if (w == nullptr) return nullptr;
  w->all_next = all_;
  if (all_) all_->all_prev = w;
  all_ = w;
  ++thread_count_;
  ++reserved_count_;
  return w;
}

// Woken under the lock: started from the parking lot's thread, the worker
// could otherwise run the job, finish and be reaped (its condition variable
// destroyed) by the accept loop before this notify returns.
void worker_pool::start(worker* w, const session_job& job) {
  std::lock_guard lock(mutex_);
  w->job = job;
  w->has_job = true;
  --reserved_count_;
  w->wake.notify_one();
}

void worker_pool::release(worker* w) {
  std::lock_guard lock(mutex_);
  --reserved_count_;
  park(w);
  if (stopping_) w->wake.notify_one();
}

void worker_pool::stop_and_join() {
  std::unique_lock lock(mutex_);
  stopping_ = true;
  for (worker* w = all_; w; w = w->all_next) w->wake.notify_one();
  worker* everyone = std::exchange(all_, nullptr);
  parked_ = nullptr;
  finished_ = nullptr;
  parked_count_ = 0;
  reserved_count_ = 0;
  thread_count_ = 0;
  lock.unlock();
  while (everyone) {
    worker* w = everyone;
    everyone = everyone->all_next;
    pthread_join(w->thread, nullptr);
    delete w;
  }
}

size_t worker_pool::parked() const {
  std::lock_guard lock(mutex_);
  return parked_count_;
}

size_t worker_pool::threads() const {
  std::lock_guard lock(mutex_);
  return thread_count_;
}

}  // namespace capecho
