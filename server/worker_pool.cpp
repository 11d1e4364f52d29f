#include "worker_pool.h"

#include <limits.h>

#include <algorithm>

namespace capecho {

worker_pool::worker_pool(size_t cache_limit, size_t stack_bytes, work_fn work)
    : cache_limit_(cache_limit),
      stack_bytes_(std::max(stack_bytes, static_cast<size_t>(PTHREAD_STACK_MIN))),
      work_(std::move(work)) {
  parked_.reserve(cache_limit);
}

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
    if (stopping_ || parked_.size() >= cache_limit_) break;
    parked_.push_back(&w);
  }
  finished_.push_back(&w);
}

// Joining happens outside the lock; a finished thread needs the lock no more.
void worker_pool::reap_finished(std::unique_lock<std::mutex>& lock) {
  if (finished_.empty()) return;
  std::vector<worker*> done;
  done.swap(finished_);
  for (worker* w : done) all_.erase(w);
  lock.unlock();
  for (worker* w : done) {
    pthread_join(w->thread, nullptr);
    delete w;
  }
  lock.lock();
}

bool worker_pool::dispatch(const session_job& job) {
  std::unique_lock lock(mutex_);
  if (stopping_) return false;
  reap_finished(lock);
  if (!parked_.empty()) {
    worker* w = parked_.back();
    parked_.pop_back();
    w->job = job;
    w->has_job = true;
    w->wake.notify_one();
    return true;
  }
  auto* w = new worker;
  w->pool = this;
  w->job = job;
  w->has_job = true;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, stack_bytes_);
  const int rc = pthread_create(&w->thread, &attr, thread_main, w);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete w;
    return false;
  }
  all_.insert(w);
  return true;
}

void worker_pool::stop_and_join() {
  std::unique_lock lock(mutex_);
  stopping_ = true;
  for (worker* w : parked_) w->wake.notify_one();
  parked_.clear();
  std::vector<worker*> everyone(all_.begin(), all_.end());
  all_.clear();
  finished_.clear();
  lock.unlock();
  for (worker* w : everyone) {
    pthread_join(w->thread, nullptr);
    delete w;
  }
}

}  // namespace capecho
