// One client's connection from accept to close, and everything it owns: its
// descriptor, where it came from, its frames while it is parked, and the
// deadline it waits under. (Its place in the admission count is the
// server's, keyed by its descriptor.)
//
// A session runs on one worker thread from start to end and never moves to
// another: anything thread-local it reads (errno above all) is its own
// thread's. Its life, and every change of state, is in session.cpp:
//
//   accepted -> reading_header -> serving <-> parked -> ending -> ended
//               (behind a balancer only)
#ifndef CAPECHO_SERVER_SESSION_H
#define CAPECHO_SERVER_SESSION_H

#include <stddef.h>
#include <errno.h>
#include <stdint.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <chrono>

#include "address.h"
#include "shared_stack.h"
#include "unique_fd.h"

namespace capecho {

class session;
class worker;

enum class session_state {
  accepted,        // handed to a worker, not yet run
  reading_header,  // waiting for the balancer's PROXY header
  serving,         // running the handler
  parked,          // waiting for its socket, holding no thread and no stack
  ending,          // the handler returned; being accounted for and closed
  ended,           // closed; its worker frees it
};

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

// Whom a session serves: its peer, or the client a balancer's PROXY header
// names.
struct session_origin {
  endpoint client;
  bool proxied = false;       // client came from a PROXY header
  bool health_check = false;  // the balancer's own connection (v2 LOCAL)
  size_t header_bytes = 0;
};

using steady_time = std::chrono::steady_clock::time_point;
inline constexpr steady_time no_deadline = steady_time::max();

class session {
 public:
  session(session_host& host, unique_fd fd, const endpoint& peer);
  ~session();
  session(const session&) = delete;
  session& operator=(const session&) = delete;

  int fd() const { return fd_.get(); }
  const endpoint& peer() const { return peer_; }
  session_origin& origin() { return origin_; }
  session_state state() const { return state_; }

  // The session running on this thread, or null off a session.
  static session* running();

  // From the session itself: one call on its socket. `call(flags)` makes it;
  // with MSG_DONTWAIT it must not block. The session parks while the socket
  // is not ready and wakes on readiness or when the idle time-out, counted
  // from when the call began, runs out (then: -1, EAGAIN).
  template <typename Call>
  ssize_t io(uint32_t events, size_t len, Call call);

  // What the socket is ready for, kept in one place: an edge from the
  // worker's epoll set, and each call's result, go through these two.
  void saw_edge(uint32_t epoll_events);
  void after_call(uint32_t events, ssize_t n, size_t len);

  // Parks until the socket is ready for `events`; false, with errno
  // ETIMEDOUT at the deadline or ENOMEM when the session has lost its frames.
  bool wait_ready(uint32_t events, steady_time deadline);

  // The host's idle time-out, for every session; zero: none. Set once,
  // before any session runs.
  static void set_idle_timeout(std::chrono::seconds t);

 private:
  friend class worker;

  static void main(void* self);
  void live();
  void enter(session_state next);
  bool call_may_block();
  void blocking_call_done();

  session_host& host_;
  unique_fd fd_;
  endpoint peer_;
  session_origin origin_;
  session_state state_ = session_state::accepted;
  session_state resumes_as_ = session_state::serving;

  // Kept by its worker.
  worker* home_ = nullptr;
  void* sp_ = nullptr;   // where its frames were left
  saved_frames frames_;  // its frames, while another session has the stack
  bool frames_held_ = false;
  bool lost_ = false;   // its frames could not be saved: every wait fails
  uint32_t ready_ = 0;  // EPOLLIN/EPOLLOUT seen and not used up
  // EPOLLIN/EPOLLOUT for which a short transfer proves nothing (see
  // after_call): the last edge reported an end, an error or urgent data.
  uint32_t short_is_not_empty_ = 0;
  uint32_t waiting_for_ = 0;
  steady_time deadline_ = no_deadline;
  bool timed_out_ = false;
  session* next_ = nullptr;  // in the worker's inbox or run queue
  session* parked_prev_ = nullptr;
  session* parked_next_ = nullptr;
  void* tsan_fiber_ = nullptr;
  void* fake_stack_ = nullptr;  // AddressSanitizer's, while switched out
};

// How long a call may block its thread, where blocking is allowed at all
// (see call_may_block), before the session parks instead.
inline constexpr std::chrono::milliseconds park_after{100};

std::chrono::seconds session_idle_timeout();

template <typename Call>
ssize_t session::io(uint32_t events, size_t len, Call call) {
  bool blocked = false;
  if (call_may_block()) {
    // The only session where no other waits: one blocking call is the
    // fastest way to serve it. The socket's time-out is park_after.
    const ssize_t n = call(0);
    const int err = errno;
    blocking_call_done();
    errno = err;
    if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return n;
    blocked = true;
    after_call(events, n, len);
  }
  steady_time deadline = no_deadline;
  for (;;) {
    if ((ready_ & events) != 0) {
      const ssize_t n = call(MSG_DONTWAIT);
      const int err = errno;
      after_call(events, n, len);
      errno = err;
      if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return n;
    }
    if (deadline == no_deadline && session_idle_timeout().count() > 0)
      deadline = std::chrono::steady_clock::now() + session_idle_timeout() -
                 (blocked ? park_after : std::chrono::milliseconds(0));
    if (!wait_ready(events, deadline)) {
      if (errno == ETIMEDOUT) errno = EAGAIN;  // what a time-out on the socket says
      return -1;
    }
  }
}

}  // namespace capecho

#endif  // CAPECHO_SERVER_SESSION_H
