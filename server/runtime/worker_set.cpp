#include "worker_set.h"

#include <sched.h>

#include <algorithm>

namespace capecho {

worker_set::worker_set(unsigned count, unsigned packed) {
  packed = std::clamp(packed, 1U, std::max(count, 1U));
  workers_.reserve(count);
  for (unsigned i = 0; i < count; ++i)
    workers_.push_back(
        std::make_unique<worker>(census_, i < packed ? worker_role::packed : worker_role::solo));
}

bool worker_set::start_missing(failure& why) {
  for (auto& w : workers_) {
    if (w->started() || !w->start(why)) continue;
    census_.started.fetch_add(1, std::memory_order_relaxed);
  }
  return started() == size();
}

bool worker_set::post(session* s) {
  census_.sessions.fetch_add(1, std::memory_order_relaxed);
  // A free solo worker first; it refuses if another thread filled it.
  for (auto& w : workers_)
    if (w->solo() && w->started() && w->sessions() == 0 && w->post(s)) return true;
  worker* fewest = nullptr;
  for (auto& w : workers_)
    if (!w->solo() && w->started() && (fewest == nullptr || w->sessions() < fewest->sessions()))
      fewest = w.get();
  if (fewest != nullptr && fewest->post(s)) return true;
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

size_t worker_set::solo() const {
  size_t n = 0;
  for (const auto& w : workers_) n += w->solo() ? w->sessions() : 0;
  return n;
}

size_t worker_set::in_state(task_state state) const {
  size_t n = 0;
  for (const auto& w : workers_) n += w->in_state(state);
  return n;
}

unsigned usable_cores() {
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  if (sched_getaffinity(0, sizeof cpus, &cpus) != 0) return 1;
  return std::max(static_cast<unsigned>(CPU_COUNT(&cpus)), 1U);
}

// Ten solo workers: a few busy clients then each have a worker of their own
// and are served by blocking calls, which an epoll set cannot match; an idle
// one waits in epoll_wait without a time-out and costs a few pages.
unsigned default_worker_count() {
  constexpr unsigned solo = 10;
  return usable_cores() + solo;
}

}  // namespace capecho
