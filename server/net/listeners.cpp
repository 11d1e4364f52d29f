#include "listeners.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "events.h"
#include "socket_file.h"

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

bool is_unix_domain(int fd) {
  sockaddr_storage at{};
  socklen_t len = sizeof at;
  return getsockname(fd, reinterpret_cast<sockaddr*>(&at), &len) == 0 && at.ss_family == AF_UNIX;
}

unique_fd open_listener(const endpoint& at, unsigned backlog, bool reuse_port, failure& why) {
  unique_fd fd(socket(at.storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd.valid()) {
    why = {"socket", errno};
    return fd;
  }
  const char* failed = nullptr;
  if (at.storage.ss_family == AF_UNIX) {
    if (!clear_stale_socket_file(at, why)) {
      fd.reset();
      return fd;
    }
    if (bind_socket_file(fd.get(), at) != 0) failed = "bind";
  }
  // V6ONLY lets [::]:P and 0.0.0.0:P be listened on side by side.
  else if (!set_option(fd.get(), SOL_SOCKET, SO_REUSEADDR))
    failed = "setsockopt SO_REUSEADDR";
  else if (reuse_port && !set_option(fd.get(), SOL_SOCKET, SO_REUSEPORT))
    failed = "setsockopt SO_REUSEPORT";
  else if (at.storage.ss_family == AF_INET6 && !set_option(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY))
    failed = "setsockopt IPV6_V6ONLY";
  else if (bind(fd.get(), at.addr(), at.length) != 0)
    failed = "bind";
  if (failed == nullptr && listen(fd.get(), static_cast<int>(backlog)) != 0) failed = "listen";
  if (failed != nullptr) {
    why = {failed, errno};
    fd.reset();
  }
  return fd;
}

// Runs before any thread exists, so the environment calls are safe. The
// failure may point at LISTEN_FDS's text after the variable is removed: the
// C library never frees an environment string.
// NOLINTBEGIN(concurrency-mt-unsafe)
bool inherited_listeners(std::vector<unique_fd>& fds, failure& why) {
  const char* pid = getenv("LISTEN_PID");
  const char* count = getenv("LISTEN_FDS");
  if (pid == nullptr || count == nullptr) return true;
  if (strtol(pid, nullptr, 10) != getpid()) {
    log_listen_pid_elsewhere(pid);
    return true;
  }
  char* end = nullptr;
  const long n = strtol(count, &end, 10);
  unsetenv("LISTEN_PID");
  unsetenv("LISTEN_FDS");
  unsetenv("LISTEN_FDNAMES");
  if (*count == '\0' || *end != '\0' || n < 1 || n > 1024) {
    why = {.refused = refusal::listen_fds_count, .input = count};
    return false;
  }
  for (int fd = first_inherited_fd; fd < first_inherited_fd + n; ++fd) {
    if (!is_listening_stream(fd)) {
      why = {.refused = refusal::not_listening_stream, .fd = fd};
      return false;
    }
    if (!set_flag(fd, F_GETFL, F_SETFL, O_NONBLOCK) ||
        !set_flag(fd, F_GETFD, F_SETFD, FD_CLOEXEC)) {
      why = {.call = "fcntl", .err = errno, .refused = refusal::inherited_unusable, .fd = fd};
      return false;
    }
    fds.emplace_back(fd);
  }
  return true;
}

// NOLINTEND(concurrency-mt-unsafe)

size_t pending_connections(int listener_fd) {
  tcp_info info{};
  socklen_t len = sizeof info;
  if (getsockopt(listener_fd, IPPROTO_TCP, TCP_INFO, &info, &len) == 0 &&
      info.tcpi_state == TCP_LISTEN)
    return info.tcpi_unacked;  // for a listener, the accept queue's length
  pollfd p{listener_fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1 ? 1 : 0;
}

std::string local_name(int fd) {
  endpoint e;
  e.length = sizeof e.storage;
  if (getsockname(fd, e.addr(), &e.length) != 0) return "?";
  return format_endpoint(e);
}

}  // namespace capecho
