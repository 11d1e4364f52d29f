#include "listeners.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "log.h"

namespace capecho {
namespace {

constexpr int first_inherited_fd = 3;  // SD_LISTEN_FDS_START

bool set_flag(int fd, int get, int set, int flag) {
  const int flags = fcntl(fd, get);
  return flags != -1 && fcntl(fd, set, flags | flag) != -1;
}

bool set_option(int fd, int level, int name) {
  const int on = 1;
  return setsockopt(fd, level, name, &on, sizeof on) == 0;
}

bool is_listening_stream(int fd) {
  int type = 0, listening = 0;
  socklen_t len = sizeof type;
  if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_STREAM) return false;
  len = sizeof listening;
  return getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) == 0 && listening;
}

}  // namespace

int open_listener(const endpoint& at, unsigned backlog, bool reuse_port, std::string& error) {
  const std::string name = format_endpoint(at);
  const int fd = socket(at.storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = name + ": " + error_text(errno);
    return -1;
  }
  // V6ONLY lets [::]:P and 0.0.0.0:P be listened on side by side.
  const bool ok = set_option(fd, SOL_SOCKET, SO_REUSEADDR) &&
                  (!reuse_port || set_option(fd, SOL_SOCKET, SO_REUSEPORT)) &&
                  (at.storage.ss_family != AF_INET6 || set_option(fd, IPPROTO_IPV6, IPV6_V6ONLY)) &&
                  bind(fd, at.addr(), at.length) == 0 && listen(fd, static_cast<int>(backlog)) == 0;
  if (!ok) {
    error = name + ": " + error_text(errno);
    close(fd);
    return -1;
  }
  return fd;
}

// Runs before any thread exists, so the environment calls are safe.
// NOLINTBEGIN(concurrency-mt-unsafe)
bool inherited_listeners(std::vector<int>& fds, std::string& error) {
  const char* pid = getenv("LISTEN_PID");
  const char* count = getenv("LISTEN_FDS");
  if (pid == nullptr || count == nullptr || strtol(pid, nullptr, 10) != getpid()) return true;
  char* end = nullptr;
  const long n = strtol(count, &end, 10);
  unsetenv("LISTEN_PID");
  unsetenv("LISTEN_FDS");
  unsetenv("LISTEN_FDNAMES");
  if (*count == '\0' || *end != '\0' || n < 1 || n > 1024) {
    error = std::string("LISTEN_FDS: '") + count + "' is not a number of descriptors";
    return false;
  }
  for (int fd = first_inherited_fd; fd < first_inherited_fd + n; ++fd) {
    if (!is_listening_stream(fd)) {
      error = "inherited descriptor " + std::to_string(fd) + " is not a listening stream socket";
      return false;
    }
    if (!set_flag(fd, F_GETFL, F_SETFL, O_NONBLOCK) ||
        !set_flag(fd, F_GETFD, F_SETFD, FD_CLOEXEC)) {
      error = "inherited descriptor " + std::to_string(fd) + ": " + error_text(errno);
      return false;
    }
    fds.push_back(fd);
  }
  return true;
}

// NOLINTEND(concurrency-mt-unsafe)

std::string local_name(int fd) {
  endpoint e;
  e.length = sizeof e.storage;
  if (getsockname(fd, e.addr(), &e.length) != 0) return "?";
  return format_endpoint(e);
}

}  // namespace capecho
