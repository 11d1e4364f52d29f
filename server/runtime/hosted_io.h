// The system calls of a handler linked against the host's copy of the
// library: the build renames its calls listed in hosted_calls.txt to these.
//
// Off a session they are the plain calls. On a session they never block
// their thread (but for the one blocking call a worker's only session may
// make): a call the socket is not ready for parks the session, and its
// worker serves others until the socket is ready or the idle time-out runs
// out (then the call fails with EAGAIN, as a time-out on the socket would).
//
// The rule that makes errno safe: a session runs on one thread from start
// to end and never migrates, so errno read after any of these calls,
// whether here or in the handler's own code, is always the reading
// thread's.
#ifndef CAPECHO_SERVER_HOSTED_IO_H
#define CAPECHO_SERVER_HOSTED_IO_H

#include <sys/socket.h>
#include <sys/types.h>

#include <chrono>

#include "session.h"

namespace capecho {

// Peeks at what has arrived on fd once something has, within the deadline:
// on a session by parking, elsewhere with poll. -1 with ETIMEDOUT when the
// deadline passed first, or ENOMEM when the session lost its frames.
ssize_t peek_when_readable(int fd, void* buf, size_t len,
                           std::chrono::steady_clock::time_point deadline);

// The last call this thread made off a session (--stdio serves there): the
// host tells from it why the handler returned.
const call_record& last_plain_call();

}  // namespace capecho

extern "C" {
ssize_t capecho_hosted_read(int fd, void* buf, size_t len);
ssize_t capecho_hosted_recvmsg(int fd, struct msghdr* msg, int flags);
ssize_t capecho_hosted_send(int fd, const void* buf, size_t len, int flags);
ssize_t capecho_hosted_write(int fd, const void* buf, size_t len);
}

#endif  // CAPECHO_SERVER_HOSTED_IO_H
