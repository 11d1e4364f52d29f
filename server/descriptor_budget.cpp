#include "descriptor_budget.h"

#include <sys/resource.h>

#include "events.h"
#include "worker_set.h"

namespace capecho {
namespace {

// Descriptors the server holds besides its sessions, listeners and workers:
// 0, 1 and 2, its wake-up eventfds, the notification socket, the signal
// watcher, and the metrics listener with the scrapes it serves at once;
// with room to spare.
constexpr unsigned long long own_descriptors = 32;

// Each worker's epoll set and wake-up eventfd.
constexpr unsigned long long descriptors_per_worker = 2;

}  // namespace

void check_descriptor_budget(const server_options& options) {
  rlimit limit{};
  // A failure was reported when the limit was raised.
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return;
  const unsigned long long workers =
      options.workers != 0 ? options.workers : default_worker_count();
  const unsigned long long overhead =
      own_descriptors + options.listen.size() + descriptors_per_worker * workers;
  const unsigned long long needed = options.max_connections + overhead;
  if (needed <= limit.rlim_cur) return;
  const unsigned long long room = limit.rlim_cur > overhead ? limit.rlim_cur - overhead : 0;
  log_descriptors_short(options.max_connections, needed, limit.rlim_cur, room);
}

}  // namespace capecho
