// Overload protection's choice: when every slot is taken and clients wait,
// which sessions give theirs up.
//
// Only a session whose client has sent nothing for a while can be chosen, so
// a client that exchanges data at least that often is never ended. Among the
// idle ones, the weight of a session is how long it has been idle times how
// many slots its source holds: a host hoarding connections loses them first,
// and among equals the longest idle goes first.
#ifndef CAPECHO_SERVER_OVERLOAD_H
#define CAPECHO_SERVER_OVERLOAD_H

#include <stddef.h>

#include <vector>

namespace capecho {

struct room_candidate {
  int fd = -1;
  unsigned idle_ms = 0;          // since the client last sent data (or was admitted)
  unsigned source_sessions = 1;  // slots its source holds
};

// Moves the sessions to end to the front of `candidates`, heaviest first, and
// returns how many there are: at most `wanted`, and only those idle for at
// least `min_idle_ms`.
size_t choose_sessions_to_end(std::vector<room_candidate>& candidates, size_t wanted,
                              unsigned min_idle_ms);

}  // namespace capecho

#endif  // CAPECHO_SERVER_OVERLOAD_H
