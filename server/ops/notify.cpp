#include "notify.h"

#include <errno.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace capecho {
namespace {

// A whole decimal number, or false.
bool parse_whole(const char* text, unsigned long long& out) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  char* end = nullptr;
  errno = 0;
  out = strtoull(text, &end, 10);
  return *end == '\0' && errno == 0;
}

}  // namespace

// Runs before any thread exists, so the environment calls are safe. The
// failure may point at NOTIFY_SOCKET's text after the variable is removed:
// the C library never frees an environment string.
// NOLINTBEGIN(concurrency-mt-unsafe)
bool service_notifier::open_from_environment(failure& why) {
  const char* path = getenv("NOTIFY_SOCKET");
  unsigned long long usec = 0;
  unsigned long long pid = 0;
  const bool watchdog =
      parse_whole(getenv("WATCHDOG_USEC"), usec) && usec > 0 &&
      (getenv("WATCHDOG_PID") == nullptr || (parse_whole(getenv("WATCHDOG_PID"), pid) &&
                                             pid == static_cast<unsigned long long>(getpid())));
  if (watchdog) watchdog_ = std::chrono::milliseconds(std::max(1ULL, usec / 2000));
  const std::string_view where = path != nullptr ? path : "";
  unsetenv("NOTIFY_SOCKET");
  unsetenv("WATCHDOG_USEC");
  unsetenv("WATCHDOG_PID");
  if (path == nullptr) return true;
  // A leading '@' names the abstract namespace, written with a zero byte.
  if (where.size() < 2 || (where[0] != '/' && where[0] != '@') ||
      where.size() > sizeof address_.sun_path) {
    why = {.refused = refusal::notify_socket_path, .input = where};
    return false;
  }
  address_.sun_family = AF_UNIX;
  memcpy(address_.sun_path, where.data(), where.size());
  if (where[0] == '@') address_.sun_path[0] = '\0';
  length_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + where.size() +
                                   (where[0] == '/' ? 1 : 0));
  fd_.reset(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd_.valid()) {
    why = {"socket", errno};
    return false;
  }
  return true;
}
// NOLINTEND(concurrency-mt-unsafe)

void service_notifier::send(const std::string& message) const {
  if (!active()) return;
  // The manager takes what it can; a lost status or pet is followed by the next.
  (void)sendto(fd_.get(), message.data(), message.size(), MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr*>(&address_), length_);
}

}  // namespace capecho
