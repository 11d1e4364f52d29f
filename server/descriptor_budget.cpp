#include "descriptor_budget.h"

#include <sys/resource.h>

#include "events.h"

namespace capecho {
namespace {

// Descriptors the server holds besides its sessions and listeners: 0, 1 and
// 2, its wake-up eventfds and epoll sets, the notification socket, and the
// metrics listener with the one scrape it serves; with room to spare.
constexpr unsigned long long own_descriptors = 16;

}  // namespace

void check_descriptor_budget(const server_options& options) {
  rlimit limit{};
  // A failure was reported when the limit was raised.
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return;
  const unsigned long long overhead = own_descriptors + options.listen.size();
  const unsigned long long needed = options.max_connections + overhead;
  if (needed <= limit.rlim_cur) return;
  const unsigned long long room = limit.rlim_cur > overhead ? limit.rlim_cur - overhead : 0;
  log_descriptors_short(options.max_connections, needed, limit.rlim_cur, room);
}

}  // namespace capecho
