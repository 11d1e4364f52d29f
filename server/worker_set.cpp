#include "worker_set.h"

#include <sched.h>

namespace capecho {

worker_set::worker_set(unsigned count) {
  workers_.reserve(count);
  for (unsigned i = 0; i < count; ++i) workers_.push_back(std::make_unique<worker>(*this));
}

bool worker_set::start_missing(start_failure& why) {
  for (auto& w : workers_) {
    if (w->started() || !w->start(why)) continue;
    started_.fetch_add(1, std::memory_order_relaxed);
  }
  return started() > 0;
}

bool worker_set::post(session* s) {
  // The fewest sessions first; a worker that blocks for its one session
  // refuses, and the next is asked.
  worker* order[2] = {nullptr, nullptr};
  for (auto& w : workers_) {
    if (!w->started()) continue;
    if (order[0] == nullptr || w->sessions() < order[0]->sessions()) {
      order[1] = order[0];
      order[0] = w.get();
    } else if (order[1] == nullptr || w->sessions() < order[1]->sessions()) {
      order[1] = w.get();
    }
  }
  total_.fetch_add(1, std::memory_order_relaxed);
  for (worker* w : order)
    if (w != nullptr && w->post(s)) return true;
  for (auto& w : workers_)
    if (w->started() && w->post(s)) return true;
  total_.fetch_sub(1, std::memory_order_relaxed);
  return false;
}

void worker_set::stop_and_join() {
  for (auto& w : workers_) w->stop_and_join();
  started_ = 0;
}

size_t worker_set::parked() const {
  size_t n = 0;
  for (const auto& w : workers_) n += w->parked();
  return n;
}

void worker_set::count_registration_failure(int err) {
  registration_failures_.fetch_add(1, std::memory_order_relaxed);
  last_registration_error_.store(err, std::memory_order_relaxed);
}

unsigned default_worker_count() {
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  if (sched_getaffinity(0, sizeof cpus, &cpus) != 0) return 1;
  const int n = CPU_COUNT(&cpus);
  return n > 0 ? static_cast<unsigned>(n) : 1;
}

}  // namespace capecho
