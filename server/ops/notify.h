// Messages to the service manager: readiness, status, stopping and watchdog
// pets, each one datagram to $NOTIFY_SOCKET, as sd_notify(3) describes.
#ifndef CAPECHO_SERVER_NOTIFY_H
#define CAPECHO_SERVER_NOTIFY_H

#include <sys/un.h>

#include <chrono>
#include <string>

#include "failure.h"
#include "unique_fd.h"

namespace capecho {

class service_notifier {
 public:
  // Takes NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID from the environment
  // and removes them, so that nothing the server starts inherits them. Stays
  // inactive when NOTIFY_SOCKET is unset; false with `why` set when it is
  // unusable. Call it before any thread exists.
  bool open_from_environment(failure& why);

  bool active() const { return fd_.valid(); }

  // Half the manager's watchdog time-out: how often to pet; zero when the
  // watchdog is off or meant for another process.
  std::chrono::milliseconds watchdog_interval() const { return watchdog_; }

  // Never blocks: a message the manager cannot take now is lost.
  void send(const std::string& message) const;

 private:
  unique_fd fd_;
  sockaddr_un address_{};
  socklen_t length_ = 0;
  std::chrono::milliseconds watchdog_{0};
};

}  // namespace capecho

#endif  // CAPECHO_SERVER_NOTIFY_H
