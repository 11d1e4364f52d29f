#include "session.h"

namespace capecho {
namespace {

std::chrono::seconds idle_timeout{0};

}  // namespace

void session::set_idle_timeout(std::chrono::seconds t) { idle_timeout = t; }

std::chrono::seconds session_idle_timeout() { return idle_timeout; }

session::session(session_host& host, unique_fd fd, const endpoint& peer)
    : host_(host), fd_(std::move(fd)), peer_(peer) {
  origin_.client = peer;
  task_.entry = &session::main;
  task_.owner = this;
  task_.fd = fd_.get();
}

session::~session() = default;

// The first frame on its worker's stack.
CAPECHO_NO_VPTR_CHECK void session::main(void* self) {
  auto* s = static_cast<session*>(self);
  s->task_.home->entered(s->task_);
  s->live();
  s->task_.home->end(s->task_);
}

// The whole life of a session, in order.
CAPECHO_NO_VPTR_CHECK void session::live() {
  bool admitted = true;
  if (host_.requires_header()) {
    enter(task_state::reading_header);
    admitted = host_.take_header(*this);
  }
  if (admitted) {
    enter(task_state::serving);
    host_.serve(*this);
  }
  enter(task_state::ending);
  host_.release(*this);
  fd_.reset();
}

CAPECHO_NO_VPTR_CHECK void session::enter(task_state next) { task_.home->moved(task_, next); }

CAPECHO_NO_VPTR_CHECK bool session::wait_ready(uint32_t events, steady_time deadline) {
  return task_.home->wait(task_, events, deadline);
}

}  // namespace capecho
