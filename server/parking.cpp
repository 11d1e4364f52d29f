#include "parking.h"

#include <errno.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <utility>

#include "events.h"
#include "log.h"

namespace capecho {
namespace {

// Deadlines are idle time-outs of seconds: a quarter second late is fine.
constexpr int deadline_scan_ms = 250;

}  // namespace

parking_lot::parking_lot(std::function<void(fiber*)> resume) : resume_(std::move(resume)) {}

parking_lot::~parking_lot() { stop(); }

bool parking_lot::start(std::string& error) {
  epoll_.reset(epoll_create1(EPOLL_CLOEXEC));
  if (!epoll_.valid()) {
    error = "epoll_create1: " + error_text(errno);
    return false;
  }
  wake_.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake_.valid()) {
    error = "eventfd: " + error_text(errno);
    return false;
  }
  epoll_event e{};
  e.events = EPOLLIN;
  e.data.ptr = nullptr;  // the wake-up
  if (epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, wake_.get(), &e) != 0) {
    error = "epoll_ctl: " + error_text(errno);
    return false;
  }
  const int rc = pthread_create(&thread_, nullptr, &parking_lot::thread_main, this);
  if (rc != 0) {
    error = "pthread_create: " + error_text(rc);
    return false;
  }
  running_ = true;
  return true;
}

void parking_lot::stop() {
  if (!running_) return;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  const uint64_t one = 1;
  if (write(wake_.get(), &one, sizeof one) < 0) {
    // The counter is already non-zero: the thread wakes all the same.
  }
  pthread_join(thread_, nullptr);
  running_ = false;
}

size_t parking_lot::parked() const {
  std::lock_guard lock(mutex_);
  return parked_;
}

// Listed before it is armed, so the thread never sees an event for a wait it
// does not know.
void parking_lot::park(parked_wait* w) {
  {
    std::lock_guard lock(mutex_);
    w->prev = nullptr;
    w->next = head_;
    if (head_ != nullptr) head_->prev = w;
    head_ = w;
    ++parked_;
    epoll_event e{};
    e.events = w->events | EPOLLONESHOT | EPOLLRDHUP;
    e.data.ptr = w;
    if (epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, w->fd, &e) == 0 ||
        (errno == ENOENT && epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, w->fd, &e) == 0))
      return;
    head_ = w->next;
    if (head_ != nullptr) head_->prev = nullptr;
    --parked_;
  }
  // Cannot be watched: hand it straight back; its retried call reports the fault.
  resume_(w->session);
}

void* parking_lot::thread_main(void* self) {
  static_cast<parking_lot*>(self)->watch();
  return nullptr;
}

void parking_lot::watch() {
  epoll_event ready[64];
  for (;;) {
    const int n = epoll_wait(epoll_.get(), ready, 64, deadline_scan_ms);
    if (n < 0 && errno != EINTR) log_call_failed("epoll_wait", errno);
    for (int i = 0; i < n; ++i) {
      auto* w = static_cast<parked_wait*>(ready[i].data.ptr);
      if (w == nullptr) continue;  // the wake-up
      {
        std::lock_guard lock(mutex_);
        (w->prev ? w->prev->next : head_) = w->next;
        if (w->next != nullptr) w->next->prev = w->prev;
        --parked_;
      }
      resume_(w->session);  // one-shot: it is disarmed until parked again
    }
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
    }
    hand_back_expired();
  }
}

// A wait past its deadline is disarmed before its fiber runs again, so no
// late event can name a wait that no longer exists.
void parking_lot::hand_back_expired() {
  const auto now = std::chrono::steady_clock::now();
  parked_wait* expired = nullptr;
  {
    std::lock_guard lock(mutex_);
    for (parked_wait* w = head_; w != nullptr;) {
      parked_wait* next = w->next;
      if (w->has_deadline && w->deadline <= now) {
        (w->prev ? w->prev->next : head_) = w->next;
        if (w->next != nullptr) w->next->prev = w->prev;
        --parked_;
        epoll_event none{};
        (void)epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, w->fd, &none);
        w->timed_out = true;
        w->next = expired;
        expired = w;
      }
      w = next;
    }
  }
  while (expired != nullptr) {
    parked_wait* w = expired;
    expired = w->next;
    resume_(w->session);
  }
}

}  // namespace capecho
