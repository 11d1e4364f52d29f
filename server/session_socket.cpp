#include "session_socket.h"

#include <linux/tcp.h>
#include <stddef.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

namespace capecho {

void prepare_session_socket(int fd, unsigned idle_timeout_seconds) {
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);  // fails harmlessly off TCP
  if (idle_timeout_seconds == 0) return;
  const timeval limit{static_cast<time_t>(idle_timeout_seconds), 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

std::string transfer_counts(int fd) {
  tcp_info info{};
  socklen_t len = sizeof info;
  if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0 ||
      len < offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received)
    return "";
  return "in " + std::to_string(info.tcpi_bytes_received) + " out " +
         std::to_string(info.tcpi_bytes_acked);
}

}  // namespace capecho
