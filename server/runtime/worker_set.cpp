#include "worker_set.h"

#include <sched.h>

#include <algorithm>

namespace capecho {

worker_set::worker_set(unsigned count) {
  workers_.reserve(count);
  for (unsigned i = 0; i < count; ++i) workers_.push_back(std::make_unique<worker>(census_));
}

bool worker_set::start_missing(failure& why) {
  for (auto& w : workers_) {
    if (w->started() || !w->start(why)) continue;
    census_.started.fetch_add(1, std::memory_order_relaxed);
  }
  return started() == size();
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
  census_.sessions.fetch_add(1, std::memory_order_relaxed);
  for (worker* w : order)
    if (w != nullptr && w->post(s)) return true;
  for (auto& w : workers_)
    if (w->started() && w->post(s)) return true;
  census_.sessions.fetch_sub(1, std::memory_order_relaxed);
  return false;
}

void worker_set::stop_and_join() {
  for (auto& w : workers_) w->stop_and_join();
  census_.started = 0;
}

bool worker_set::responsive(std::chrono::steady_clock::duration period) {
  const auto now = std::chrono::steady_clock::now();
  for (auto& w : workers_)
    if (!w->responsive(now, period)) return false;
  return true;
}

size_t worker_set::parked() const {
  size_t n = 0;
  for (const auto& w : workers_) n += w->parked();
  return n;
}

size_t worker_set::in_state(task_state state) const {
  size_t n = 0;
  for (const auto& w : workers_) n += w->in_state(state);
  return n;
}

// One per core, and never fewer than a dozen: a few busy clients then each
// have a worker of their own and are served by blocking calls, which a
// shared worker's epoll set cannot match; a dozen idle workers cost a few
// pages each.
unsigned default_worker_count() {
  constexpr unsigned at_least = 12;
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  if (sched_getaffinity(0, sizeof cpus, &cpus) != 0) return at_least;
  return std::max(static_cast<unsigned>(CPU_COUNT(&cpus)), at_least);
}

}  // namespace capecho
