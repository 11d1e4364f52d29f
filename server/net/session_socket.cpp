#include "session_socket.h"

#include <errno.h>
#include <linux/tcp.h>
#include <stddef.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

namespace capecho {
namespace {

// `call` names the option: "setsockopt SO_RCVTIMEO".
template <typename T>
bool set(int fd, int level, int name, const char* call, const T& value, failure& why) {
  if (setsockopt(fd, level, name, &value, sizeof value) == 0) return true;
  why = {call, errno};
  return false;
}

bool is_tcp(int fd) {
  int protocol = 0;
  socklen_t len = sizeof protocol;
  return getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &len) == 0 && protocol == IPPROTO_TCP;
}

bool set_tcp_options(int fd, const session_socket_settings& s, failure& why) {
  const int on = 1;
  if (!set(fd, IPPROTO_TCP, TCP_NODELAY, "setsockopt TCP_NODELAY", on, why)) return false;
  if (s.keepalive_idle == 0) return true;
  const int idle = static_cast<int>(s.keepalive_idle);
  const int interval = static_cast<int>(keepalive_interval(s.keepalive_idle));
  return set(fd, SOL_SOCKET, SO_KEEPALIVE, "setsockopt SO_KEEPALIVE", on, why) &&
         set(fd, IPPROTO_TCP, TCP_KEEPIDLE, "setsockopt TCP_KEEPIDLE", idle, why) &&
         set(fd, IPPROTO_TCP, TCP_KEEPINTVL, "setsockopt TCP_KEEPINTVL", interval, why) &&
         set(fd, IPPROTO_TCP, TCP_KEEPCNT, "setsockopt TCP_KEEPCNT", keepalive_probes, why);
}

bool tcp_counters(int fd, tcp_info& info) {
  socklen_t len = sizeof info;
  return getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) == 0 &&
         len >= offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received;
}

// Whether the peer's FIN has come, from the state of a socket not yet closed
// here. A full socket moves from FIN_WAIT2 to CLOSE, not TIME_WAIT, when the
// peer answers a shutdown with its FIN; a reset or a failure ends in CLOSE too.
bool fin_received(uint8_t state, bool orderly) {
  // tcpi_state as the kernel numbers it (linux/tcp.h does not name them).
  enum : uint8_t { time_wait = 6, close = 7, close_wait = 8, last_ack = 9, closing = 11 };
  switch (state) {
    case close_wait:
    case last_ack:
    case closing:
    case time_wait:
      return true;
    case close:
      return orderly;
    default:
      return false;
  }
}

}  // namespace

bool prepare_session_socket(int fd, const session_socket_settings& s, failure& why) {
  if (s.idle_timeout != 0 || s.block_ms != 0) {
    const timeval limit = s.block_ms != 0
                              ? timeval{static_cast<time_t>(s.block_ms / 1000),
                                        static_cast<suseconds_t>(s.block_ms % 1000) * 1000}
                              : timeval{static_cast<time_t>(s.idle_timeout), 0};
    if (!set(fd, SOL_SOCKET, SO_RCVTIMEO, "setsockopt SO_RCVTIMEO", limit, why) ||
        !set(fd, SOL_SOCKET, SO_SNDTIMEO, "setsockopt SO_SNDTIMEO", limit, why))
      return false;
  }
  if (s.buffer_bytes != 0) {
    const int bytes = static_cast<int>(s.buffer_bytes);
    if (!set(fd, SOL_SOCKET, SO_SNDBUF, "setsockopt SO_SNDBUF", bytes, why) ||
        !set(fd, SOL_SOCKET, SO_RCVBUF, "setsockopt SO_RCVBUF", bytes, why))
      return false;
  }
  return !is_tcp(fd) || set_tcp_options(fd, s, why);
}

bool transfer_totals(int fd, uint64_t& received, uint64_t& sent, bool orderly) {
  tcp_info info{};
  if (!tcp_counters(fd, info)) return false;
  received = info.tcpi_bytes_received;
  if (received > 0 && fin_received(info.tcpi_state, orderly)) --received;
  sent = info.tcpi_bytes_acked;
  return true;
}

bool receive_idle_ms(int fd, unsigned& ms) {
  tcp_info info{};
  if (!tcp_counters(fd, info)) return false;
  ms = info.tcpi_last_data_recv;
  return true;
}

}  // namespace capecho
