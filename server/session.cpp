#include "session.h"

#include <sys/epoll.h>

#include "sanitizers.h"
#include "worker.h"

namespace capecho {
namespace {

std::chrono::seconds idle_timeout{0};

}  // namespace

void session::set_idle_timeout(std::chrono::seconds t) { idle_timeout = t; }

std::chrono::seconds session_idle_timeout() { return idle_timeout; }

session::session(session_host& host, unique_fd fd, const endpoint& peer)
    : host_(host), fd_(std::move(fd)), peer_(peer) {
  origin_.client = peer;
}

session::~session() = default;

// The first frame on its worker's stack.
void session::main(void* self) {
  auto* s = static_cast<session*>(self);
#ifdef CAPECHO_ASAN
  __sanitizer_finish_switch_fiber(nullptr, &s->home_->thread_stack_bottom_,
                                  &s->home_->thread_stack_bytes_);
#endif
  s->live();
  s->home_->park(*s);  // ended: never comes back
}

// The whole life of a session, in order.
//
// UndefinedBehaviorSanitizer's vptr check is left out here: it tests that
// memory is readable through a pipe it opens, which fails when the server
// has run out of descriptors (a state it must survive), and then reports a
// valid object as invalid.
#if defined(__clang__) || defined(__GNUC__)
__attribute__((no_sanitize("vptr")))
#endif
void session::live() {
  bool admitted = true;
  if (host_.requires_header()) {
    enter(session_state::reading_header);
    admitted = host_.take_header(*this);
  }
  if (admitted) {
    enter(session_state::serving);
    host_.serve(*this);
  }
  enter(session_state::ending);
  host_.release(*this);
  fd_.reset();
  enter(session_state::ended);
}

// Every change of state goes through here.
void session::enter(session_state next) {
  if (next == session_state::parked) resumes_as_ = state_;
  state_ = next;
}

// The socket is edge-triggered, so a session must not wait for an edge that
// has come already. A short transfer usually means the socket is drained (or
// full) and the next edge will say when it is not: that saves a call that
// would only say EAGAIN. It does not when a read stops short of what is
// queued: at the end of the stream (the FIN may come in the same segment as
// the last bytes, and no edge follows), at an error, or at an urgent mark.
// After such an edge only EAGAIN says the socket is empty.
void session::saw_edge(uint32_t epoll_events) {
  constexpr uint32_t readable = EPOLLIN | EPOLLPRI | EPOLLRDHUP | EPOLLHUP | EPOLLERR;
  constexpr uint32_t writable = EPOLLOUT | EPOLLHUP | EPOLLERR;
  constexpr uint32_t input_stops_short = EPOLLPRI | EPOLLRDHUP | EPOLLHUP | EPOLLERR;
  constexpr uint32_t output_stops_short = EPOLLHUP | EPOLLERR;
  if ((epoll_events & readable) != 0) ready_ |= EPOLLIN;
  if ((epoll_events & writable) != 0) ready_ |= EPOLLOUT;
  if ((epoll_events & input_stops_short) != 0) short_is_not_empty_ |= EPOLLIN;
  if ((epoll_events & output_stops_short) != 0) short_is_not_empty_ |= EPOLLOUT;
}

void session::after_call(uint32_t events, ssize_t n, size_t len) {
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    ready_ &= ~events;
    short_is_not_empty_ &= ~events;
  } else if (n > 0 && static_cast<size_t>(n) < len && (short_is_not_empty_ & events) == 0) {
    ready_ &= ~events;
  }
}

bool session::wait_ready(uint32_t events, steady_time deadline) {
  if (lost_) {
    errno = ENOMEM;
    return false;
  }
  if (home_->ending_all()) {
    errno = ETIMEDOUT;
    return false;
  }
  if ((ready_ & events) != 0) return true;
  waiting_for_ = events;
  deadline_ = deadline;
  timed_out_ = false;
  enter(session_state::parked);
  home_->park(*this);  // the worker runs others until the socket is ready
  enter(resumes_as_);
  deadline_ = no_deadline;
  if (lost_ || timed_out_) {
    errno = lost_ ? ENOMEM : ETIMEDOUT;
    return false;
  }
  return true;
}

bool session::call_may_block() { return home_->may_block(); }

void session::blocking_call_done() { home_->done_blocking(); }

}  // namespace capecho
