#include "net.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace capecho_bench {

int start_connect(const target& t) {
  sockaddr_storage ss{};
  socklen_t len = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&ss);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&ss);
  if (inet_pton(AF_INET, t.host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(t.port));
    len = sizeof *v4;
  } else if (inet_pton(AF_INET6, t.host.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(t.port));
    len = sizeof *v6;
  } else {
    return -1;
  }
  const int fd = socket(ss.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (connect(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 && errno != EINPROGRESS) {
    close(fd);
    return -1;
  }
  return fd;
}

bool connect_succeeded(int fd) {
  int err = 0;
  socklen_t len = sizeof err;
  return getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
}

uint64_t now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

double seconds_since(uint64_t start_ns) { return static_cast<double>(now_ns() - start_ns) / 1e9; }

}  // namespace capecho_bench
