// The system calls of a handler linked against the host's copy of the
// library (its read, recvmsg, send and write renamed to these). Off a fiber
// they are the plain calls. On a fiber each makes the same blocking call as
// the plain one; the socket's short time-out (park_after) then tells a quiet
// client from a busy one, and a session whose call would go on waiting is
// parked instead of holding its thread. The call's own time-out, the idle
// time-out, is kept by the host: when it runs out the call fails with EAGAIN,
// as it would have with the time-out on the socket.
#ifndef CAPECHO_SERVER_HOSTED_IO_H
#define CAPECHO_SERVER_HOSTED_IO_H

#include <sys/socket.h>
#include <sys/types.h>

#include <chrono>

namespace capecho {

// How long a call blocks on its thread before its session is parked.
inline constexpr std::chrono::milliseconds park_after{100};

// Set once, before any session runs. Zero: no idle time-out.
void set_hosted_idle_timeout(unsigned seconds);

}  // namespace capecho

extern "C" {
ssize_t capecho_hosted_read(int fd, void* buf, size_t len);
ssize_t capecho_hosted_recvmsg(int fd, struct msghdr* msg, int flags);
ssize_t capecho_hosted_send(int fd, const void* buf, size_t len, int flags);
ssize_t capecho_hosted_write(int fd, const void* buf, size_t len);
}

#endif  // CAPECHO_SERVER_HOSTED_IO_H
