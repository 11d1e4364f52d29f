// What the host sets on, and reads from, one session's socket.
#ifndef CAPECHO_SERVER_SESSION_SOCKET_H
#define CAPECHO_SERVER_SESSION_SOCKET_H

#include <string>

namespace capecho {

// TCP_NODELAY, so each echo leaves at once, and receive/send time-outs, so a
// silent or stalled client makes the handler's read or write fail and return.
// Settings a descriptor does not support (not TCP, not a socket) are skipped.
void prepare_session_socket(int fd, unsigned idle_timeout_seconds);

// "in N out M" from the kernel's TCP counters, or "" where there are none.
std::string transfer_counts(int fd);

}  // namespace capecho

#endif  // CAPECHO_SERVER_SESSION_SOCKET_H
