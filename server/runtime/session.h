// One client's connection from accept to close, and everything it owns: its
// descriptor, where it came from, its frames while it is parked, and the
// deadline it waits under. (Its place in the admission count is the
// server's, keyed by its descriptor.)
//
// A session runs on one worker thread from start to end and never moves to
// another: anything thread-local it reads (errno above all) is its own
// thread's. How it waits is its scheduler's (scheduler.h). Its life is in
// session.cpp; serving <-> parked is its scheduler's (worker::wait):
//
//   reading_header -> serving <-> parked -> ending
//   (behind a balancer only)
#ifndef CAPECHO_SERVER_SESSION_H
#define CAPECHO_SERVER_SESSION_H

#include <stddef.h>
#include <errno.h>
#include <stdint.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <chrono>

#include "address.h"
#include "sanitizers.h"
#include "scheduler.h"
#include "unique_fd.h"

namespace capecho {

class session;

// What a session asks of the server it belongs to; the server holds the
// policy (limits, accounting, logging), the session the sequence.
class session_host {
 public:
  // Whether every connection opens with a PROXY header, and reading it;
  // false ends the session.
  virtual bool requires_header() const = 0;
  virtual bool take_header(session& s) = 0;
  // Runs the handler and accounts for it.
  virtual void serve(session& s) = 0;
  // The session is over: its descriptor is closed right after this.
  virtual void release(session& s) = 0;

 protected:
  ~session_host() = default;
};

// What the last call on a session's socket returned: the host tells from it
// why the session ended. Kept with three plain stores per call.
struct call_record {
  bool made = false;
  bool input = false;  // a read
  ssize_t n = 0;
  int err = 0;  // errno when n < 0
};

// Whom a session serves: its peer, or the client a balancer's PROXY header
// names.
struct session_origin {
  endpoint client;
  bool proxied = false;       // client came from a PROXY header
  bool health_check = false;  // the balancer's own connection (v2 LOCAL)
  size_t header_bytes = 0;
};

class session {
 public:
  session(session_host& host, unique_fd fd, const endpoint& peer);
  ~session();
  session(const session&) = delete;
  session& operator=(const session&) = delete;

  int fd() const { return fd_.get(); }
  const endpoint& peer() const { return peer_; }
  session_origin& origin() { return origin_; }
  const call_record& last_call() const { return last_call_; }

  // Its scheduler's record of it, for the scheduler alone.
  task& scheduled() { return task_; }

  // The session running on this thread, or null off a session.
  static session* running() {
    const task* t = scheduler::running();
    return t != nullptr ? static_cast<session*>(t->owner) : nullptr;
  }

  // From the session itself: one call on its socket. `call(flags)` makes it;
  // with MSG_DONTWAIT it must not block. The session parks while the socket
  // is not ready and wakes on readiness or when the idle time-out, counted
  // from when the call began, runs out (then: -1, EAGAIN).
  template <typename Call>
  ssize_t io(uint32_t events, size_t len, Call call);

  // Parks until the socket is ready for `events`; false, with errno
  // ETIMEDOUT at the deadline or ENOMEM when the session has lost its frames.
  bool wait_ready(uint32_t events, steady_time deadline);

  // The host's idle time-out, for every session; zero: none. Set once,
  // before any session runs.
  static void set_idle_timeout(std::chrono::seconds t);

 private:
  static void main(void* self);
  void live();
  void enter(task_state next);
  ssize_t noted(uint32_t events, ssize_t n) {
    last_call_ = {true, events == EPOLLIN, n, n < 0 ? errno : 0};
    return n;
  }

  session_host& host_;
  unique_fd fd_;
  endpoint peer_;
  session_origin origin_;
  task task_;
  call_record last_call_;
};

// How long a call may block its thread, where blocking is allowed at all
// (see worker::may_block), before the session parks instead.
inline constexpr std::chrono::milliseconds park_after{100};

std::chrono::seconds session_idle_timeout();

template <typename Call>
CAPECHO_NO_VPTR_CHECK ssize_t session::io(uint32_t events, size_t len, Call call) {
  scheduler& home = *task_.home;
  bool blocked = false;
  if (home.may_block(task_)) {
    // The only session where no other waits: one blocking call is the
    // fastest way to serve it. The socket's time-out is park_after.
    const ssize_t n = call(0);
    const int err = errno;
    home.done_blocking(task_);
    errno = err;
    if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return noted(events, n);
    blocked = true;
    note_result(task_, events, n, len);
  }
  steady_time deadline = no_deadline;
  for (;;) {
    if (ready_for(task_, events)) {
      const ssize_t n = call(MSG_DONTWAIT);
      const int err = errno;
      note_result(task_, events, n, len);
      errno = err;
      if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return noted(events, n);
    }
    if (deadline == no_deadline && session_idle_timeout().count() > 0)
      deadline = std::chrono::steady_clock::now() + session_idle_timeout() -
                 (blocked ? park_after : std::chrono::milliseconds(0));
    if (!wait_ready(events, deadline)) {
      if (errno == ETIMEDOUT) errno = EAGAIN;  // what a time-out on the socket says
      return noted(events, -1);
    }
  }
}

}  // namespace capecho

#endif  // CAPECHO_SERVER_SESSION_H
