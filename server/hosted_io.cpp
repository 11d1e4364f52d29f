#include "hosted_io.h"

#include <errno.h>
#include <sys/epoll.h>
#include <unistd.h>

#include "fiber.h"
#include "parking.h"

namespace capecho {
namespace {

std::chrono::seconds idle_timeout{0};

// errno where the thread running this code keeps it. glibc declares
// __errno_location() const, so a compiler may keep its address from before a
// suspension; a session resumed on another thread would then read or write
// the first thread's errno, which may be gone. The empty volatile asm keeps
// the compiler from treating this function as const in turn.
[[gnu::noinline]] int& thread_errno() {
  asm volatile("");
  return errno;
}

bool would_block(ssize_t n) {
  return n < 0 && (thread_errno() == EAGAIN || thread_errno() == EWOULDBLOCK);
}

// Suspends the session until fd is ready for `events`; false when the idle
// time-out, counted from when the call began, ran out first.
bool park_until_ready(fiber* f, int fd, uint32_t events,
                      std::chrono::steady_clock::time_point began) {
  parked_wait w;
  w.session = f;
  w.fd = fd;
  w.events = events;
  w.has_deadline = idle_timeout.count() > 0;
  w.deadline = began + idle_timeout;
  if (w.has_deadline && std::chrono::steady_clock::now() >= w.deadline) return false;
  // The wait outlives the suspension: this frame is what is suspended.
  // cppcheck-suppress autoVariables
  f->request = &w;
  f->suspend();  // the worker parks it once the switch is complete
  return !w.timed_out;
}

// Runs `call` until it does not time out on the socket, parking in between.
template <typename Call>
ssize_t with_parking(int fd, uint32_t events, Call call) {
  fiber* const f = fiber::current();
  if (f == nullptr) return call();
  ssize_t n = call();
  if (!would_block(n)) return n;  // the fast path: one call, no clock
  // It blocked for the socket's short time-out before it said so.
  const auto began = std::chrono::steady_clock::now() - park_after;
  for (;;) {
    if (!park_until_ready(f, fd, events, began)) {
      thread_errno() = EAGAIN;  // what the idle time-out on the socket said before
      return -1;
    }
    n = call();
    if (!would_block(n)) return n;
  }
}

}  // namespace

void set_hosted_idle_timeout(unsigned seconds) { idle_timeout = std::chrono::seconds(seconds); }

}  // namespace capecho

using capecho::with_parking;

extern "C" {

ssize_t capecho_hosted_read(int fd, void* buf, size_t len) {
  return with_parking(fd, EPOLLIN, [&] { return read(fd, buf, len); });
}

ssize_t capecho_hosted_recvmsg(int fd, struct msghdr* msg, int flags) {
  return with_parking(fd, EPOLLIN, [&] { return recvmsg(fd, msg, flags); });
}

ssize_t capecho_hosted_send(int fd, const void* buf, size_t len, int flags) {
  return with_parking(fd, EPOLLOUT, [&] { return send(fd, buf, len, flags); });
}

ssize_t capecho_hosted_write(int fd, const void* buf, size_t len) {
  return with_parking(fd, EPOLLOUT, [&] { return write(fd, buf, len); });
}
}
