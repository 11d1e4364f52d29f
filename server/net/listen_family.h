// Listeners for an address family the system lacks.
#ifndef CAPECHO_SERVER_LISTEN_FAMILY_H
#define CAPECHO_SERVER_LISTEN_FAMILY_H

#include <vector>

#include "address.h"

namespace capecho {

// True, after logging a note, when `at` is to be skipped: the kernel has no
// support for its address family (a system without IPv6), and another of
// `all` is of a family it has. One image or unit can then ask for
// 0.0.0.0:P and [::]:P and run on systems with IPv6 and without.
bool family_missing(const endpoint& at, const std::vector<endpoint>& all);

}  // namespace capecho

#endif  // CAPECHO_SERVER_LISTEN_FAMILY_H
