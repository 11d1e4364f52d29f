// Whether the descriptor limit leaves room for every session --max-connections
// allows: each session holds one descriptor, and the server a few of its own.
#ifndef CAPECHO_SERVER_DESCRIPTOR_BUDGET_H
#define CAPECHO_SERVER_DESCRIPTOR_BUDGET_H

#include "options.h"

namespace capecho {

// Says once, at start, when RLIMIT_NOFILE (as raised) is too low for
// `options`: the limit in effect, and what to raise or lower.
void check_descriptor_budget(const server_options& options);

}  // namespace capecho

#endif  // CAPECHO_SERVER_DESCRIPTOR_BUDGET_H
