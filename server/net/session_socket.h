// What the host sets on, and reads from, one session's socket.
#ifndef CAPECHO_SERVER_SESSION_SOCKET_H
#define CAPECHO_SERVER_SESSION_SOCKET_H

#include <stdint.h>

#include "failure.h"

namespace capecho {

struct session_socket_settings {
  unsigned idle_timeout = 0;    // seconds; 0: none
  unsigned buffer_bytes = 0;    // each of the send and receive buffers; 0: the kernel's
  unsigned keepalive_idle = 0;  // seconds before the first probe; 0: off
  // Nonzero: reads and writes block this many milliseconds at a time instead
  // of the idle time-out, for sessions the host parks when they wait longer.
  unsigned block_ms = 0;
};

// Receive/send time-outs, so a silent or stalled client makes the handler's
// read or write fail and return; capped kernel buffers, so a client that
// does not read cannot pin much memory; on TCP, TCP_NODELAY so each echo
// leaves at once and keepalive so a vanished peer is noticed. False, with the
// failed call in `why`, when a setting cannot be made: no session may run
// without it.
//
// Made on a listening socket, every connection accepted from it inherits the
// settings, so a session costs no system call for them.
bool prepare_session_socket(int fd, const session_socket_settings& settings, failure& why);

// Keepalive probes after the first, and the gap between them: a peer that
// answers none is given up about keepalive_idle * 2 seconds after it fell
// silent.
inline constexpr int keepalive_probes = 4;
inline unsigned keepalive_interval(unsigned idle) { return idle >= 4 ? idle / 4 : 1; }

// Bytes received, and sent and acknowledged, from the kernel's TCP counters;
// false where there are none. The kernel counts the peer's FIN as a byte (it
// takes a sequence number); it is left out. Only a closed connection's state
// cannot tell a FIN from a reset or a failure: `orderly` says which it was.
bool transfer_totals(int fd, uint64_t& received, uint64_t& sent, bool orderly = true);

// Milliseconds since the peer last sent data, from the kernel's TCP counters;
// false where there are none (not TCP).
bool receive_idle_ms(int fd, unsigned& ms);

}  // namespace capecho

#endif  // CAPECHO_SERVER_SESSION_SOCKET_H
