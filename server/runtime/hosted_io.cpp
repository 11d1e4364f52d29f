#include "hosted_io.h"

#include <errno.h>
#include <stdint.h>
#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>

#include "session.h"

namespace capecho {
namespace {

// The session whose own socket this is, or null: plain calls then.
session* session_of(int fd) {
  session* s = session::running();
  return s != nullptr && s->fd() == fd ? s : nullptr;
}

thread_local call_record last_plain;

// A thread-local store, no call: off a session this is the whole cost.
ssize_t plain(bool input, ssize_t n) {
  last_plain = {true, input, n, n < 0 ? errno : 0};
  return n;
}

}  // namespace

const call_record& last_plain_call() { return last_plain; }

ssize_t peek_when_readable(int fd, void* buf, size_t len,
                           std::chrono::steady_clock::time_point deadline) {
  if (session* s = session_of(fd)) {
    for (;;) {
      const ssize_t n = recv(fd, buf, len, MSG_PEEK | MSG_DONTWAIT);
      if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return n;
      if (errno == EINTR) continue;
      note_result(s->scheduled(), EPOLLIN, n, len);
      if (!s->wait_ready(EPOLLIN, deadline)) return -1;  // ETIMEDOUT, or ENOMEM
    }
  }
  for (;;) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      errno = ETIMEDOUT;
      return -1;
    }
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 60000)));
    if (ready < 0 && errno != EINTR) return -1;
    if (ready <= 0) continue;
    const ssize_t n = recv(fd, buf, len, MSG_PEEK | MSG_DONTWAIT);
    if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return n;
  }
}

}  // namespace capecho

using capecho::plain;
using capecho::session;
using capecho::session_of;

extern "C" {

ssize_t capecho_hosted_read(int fd, void* buf, size_t len) {
  session* s = session_of(fd);
  if (s == nullptr) return plain(true, read(fd, buf, len));
  return s->io(EPOLLIN, len, [&](int flags) {
    return flags != 0 ? recv(fd, buf, len, flags) : read(fd, buf, len);
  });
}

ssize_t capecho_hosted_recvmsg(int fd, struct msghdr* msg, int flags) {
  session* s = session_of(fd);
  if (s == nullptr) return plain(true, recvmsg(fd, msg, flags));
  // A peek that comes back short says nothing of what is queued.
  size_t len = (flags & MSG_PEEK) != 0 ? SIZE_MAX : 0;
  for (size_t i = 0; i < msg->msg_iovlen && len != SIZE_MAX; ++i) len += msg->msg_iov[i].iov_len;
  const size_t control = msg->msg_controllen;
  return s->io(EPOLLIN, len, [&](int more) {
    msg->msg_controllen = control;  // a failed call may have changed it
    return recvmsg(fd, msg, flags | more);
  });
}

ssize_t capecho_hosted_send(int fd, const void* buf, size_t len, int flags) {
  session* s = session_of(fd);
  if (s == nullptr) return plain(false, send(fd, buf, len, flags));
  return s->io(EPOLLOUT, len, [&](int more) { return send(fd, buf, len, flags | more); });
}

ssize_t capecho_hosted_write(int fd, const void* buf, size_t len) {
  session* s = session_of(fd);
  if (s == nullptr) return plain(false, write(fd, buf, len));
  return s->io(EPOLLOUT, len, [&](int flags) {
    return flags != 0 ? send(fd, buf, len, flags | MSG_NOSIGNAL) : write(fd, buf, len);
  });
}
}
