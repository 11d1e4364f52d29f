#include "descriptor_budget.h"

#include <sys/resource.h>

#include <algorithm>

#include "events.h"
#include "metrics_endpoint.h"
#include "worker_set.h"

namespace capecho {
namespace {

// Descriptors the server holds besides its sessions, listeners, workers
// and scrapes: 0, 1 and 2, its wake-up eventfds, the notification socket,
// the signal watcher and the metrics listener; with room to spare.
constexpr unsigned long long own_descriptors = 32;

// The least of those it can run with: 0, 1 and 2, the accept loop's
// wake-up, the notification socket, the metrics listener, its wake-up and
// one scrape.
constexpr unsigned long long own_descriptors_at_least = 8;

// Each worker's epoll set and wake-up eventfd.
constexpr unsigned long long descriptors_per_worker = 2;

// The soft limit in effect; 0 when there is none to keep to.
unsigned long long descriptor_limit() {
  rlimit limit{};
  // A failure was reported when the limit was raised.
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 0;
  return limit.rlim_cur;
}

unsigned workers_asked(const server_options& options) {
  return options.workers != 0 ? options.workers : default_worker_count();
}

}  // namespace

unsigned workers_within_descriptor_budget(const server_options& options) {
  const unsigned asked = workers_asked(options);
  const unsigned long long limit = descriptor_limit();
  const unsigned long long own = own_descriptors_at_least + options.listen.size();
  if (limit == 0) return asked;
  const unsigned long long left = limit > own ? limit - own : 0;
  const unsigned long long allowed = std::max(left / 2 / descriptors_per_worker, 1ULL);
  if (asked <= allowed) return asked;
  const auto workers = static_cast<unsigned>(allowed);
  log_workers_for_descriptors(limit, workers, asked);
  return workers;
}

void check_descriptor_budget(const server_options& options) {
  const unsigned long long limit = descriptor_limit();
  if (limit == 0) return;
  const unsigned long long scrapes = options.metrics ? metrics_scrapes_at_once : 0;
  const unsigned long long overhead = own_descriptors + options.listen.size() + scrapes +
                                      descriptors_per_worker * workers_asked(options);
  const unsigned long long needed = options.max_connections + overhead;
  if (needed <= limit) return;
  const unsigned long long room = limit > overhead ? limit - overhead : 0;
  log_descriptors_short(options.max_connections, needed, limit, room);
}

}  // namespace capecho
