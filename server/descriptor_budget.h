// What the descriptor limit leaves room for: each worker holds two
// descriptors, each session one, and the server a few of its own.
#ifndef CAPECHO_SERVER_DESCRIPTOR_BUDGET_H
#define CAPECHO_SERVER_DESCRIPTOR_BUDGET_H

#include "options.h"

namespace capecho {

// The workers to run: as many as `options` asks for (or the default), but
// no more than take half of what RLIMIT_NOFILE (as raised) leaves once the
// server's own descriptors are counted, so that sessions have the other
// half; at least one. Says once when it is fewer than asked for.
unsigned workers_within_descriptor_budget(const server_options& options);

// Says once, at start, when RLIMIT_NOFILE (as raised) is too low for
// `options`: the limit in effect, and what to raise or lower.
void check_descriptor_budget(const server_options& options);

}  // namespace capecho

#endif  // CAPECHO_SERVER_DESCRIPTOR_BUDGET_H
