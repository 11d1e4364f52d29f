// A blocking loopback client with bounded waits, for the server tests.
#ifndef CAPECHO_TESTS_TCP_CLIENT_H
#define CAPECHO_TESTS_TCP_CLIENT_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>

namespace capecho_test {

class tcp_client {
 public:
  // `source`, an IPv4 loopback address such as 127.0.0.2, makes the client
  // look like another host.
  explicit tcp_client(int port, const char* host = "127.0.0.1", int timeout_ms = 5000,
                      const char* source = nullptr) {
    const bool v6 = std::string(host).find(':') != std::string::npos;
    fd_ = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval limit{timeout_ms / 1000, suseconds_t{timeout_ms % 1000} * 1000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    if (source != nullptr) {
      sockaddr_in from{};
      from.sin_family = AF_INET;
      inet_pton(AF_INET, source, &from.sin_addr);
      if (bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) return;
    }
    sockaddr_storage ss{};
    socklen_t len;
    if (v6) {
      auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
      a->sin6_family = AF_INET6;
      a->sin6_port = htons(static_cast<uint16_t>(port));
      inet_pton(AF_INET6, host, &a->sin6_addr);
      len = sizeof *a;
    } else {
      auto* a = reinterpret_cast<sockaddr_in*>(&ss);
      a->sin_family = AF_INET;
      a->sin_port = htons(static_cast<uint16_t>(port));
      inet_pton(AF_INET, host, &a->sin_addr);
      len = sizeof *a;
    }
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&ss), len) == 0;
  }
  ~tcp_client() {
    if (fd_ >= 0) close(fd_);
  }
  tcp_client(const tcp_client&) = delete;
  tcp_client& operator=(const tcp_client&) = delete;

  bool connected() const { return connected_; }
  int fd() const { return fd_; }

  bool send_all(const std::string& s) {
    return send(fd_, s.data(), s.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(s.size());
  }

  // Up to n bytes; fewer at end of stream, on error or time-out.
  std::string receive(size_t n) {
    std::string got;
    char buf[4096];
    while (got.size() < n) {
      const ssize_t r = recv(fd_, buf, std::min(sizeof buf, n - got.size()), 0);
      if (r <= 0) break;
      got.append(buf, static_cast<size_t>(r));
    }
    return got;
  }

  bool greeted() { return receive(9) == std::string("Hello!!\n\0", 9); }

  // Sends a chunk and returns what came back for it.
  std::string echo(const std::string& chunk) {
    return send_all(chunk) ? receive(chunk.size()) : "";
  }

  // True when the server closed the connection: a read returns 0 (or a reset).
  bool closed_by_server() {
    char c;
    const ssize_t r = recv(fd_, &c, 1, 0);
    return r == 0 || (r < 0 && errno == ECONNRESET);
  }

  // Sends the terminator chunk and checks that the server closes.
  bool finish() { return send_all(".\r\n") && closed_by_server(); }

  // Closes with a reset instead of an orderly close.
  void reset() {
    const linger abort{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

// The whole answer to one request, status line to end.
inline std::string ask(int port, const std::string& request) {
  tcp_client c(port);
  if (!c.connected() || !c.send_all(request)) return "";
  return c.receive(1 << 20);
}

inline std::string scrape(int port) {
  return ask(port, "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
}

}  // namespace capecho_test

#endif  // CAPECHO_TESTS_TCP_CLIENT_H
