// Shared by the handler tests: a socket pair with send_msg on one end,
// running in its own thread, and bounded reads on the other.
#ifndef CAPECHO_TESTS_SESSION_HELPERS_H
#define CAPECHO_TESTS_SESSION_HELPERS_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <stdlib.h>
#include <termios.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "capecho.h"
#include "unique_fd.h"

namespace capecho_test {

inline const std::string greeting("Hello!!\n\0", 9);

// A connected pair; `client` is the test's end, `server` is handed to send_msg.
struct socket_pair {
  int client = -1;
  int server = -1;
  explicit socket_pair(int type = SOCK_SEQPACKET) {
    int fds[2];
    if (socketpair(AF_UNIX, type, 0, fds) == 0) {
      client = fds[0];
      server = fds[1];
    }
  }
  ~socket_pair() {
    if (client >= 0) close(client);
    if (server >= 0) close(server);
  }
  socket_pair(const socket_pair&) = delete;
  socket_pair& operator=(const socket_pair&) = delete;
};

// A connected pair over loopback TCP; `server` is handed to send_msg. Both
// are -1 if the connection could not be made.
struct tcp_pair {
  unique_fd client, server;
  tcp_pair() {
    const unique_fd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      return;
    client.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return;
    server.reset(accept(listener, nullptr, nullptr));
  }
};

// A terminal in raw mode: `slave` is handed to send_msg, the test talks
// through `master`. Both are -1 if the system has no terminals to give.
struct raw_pty {
  unique_fd master{posix_openpt(O_RDWR | O_NOCTTY)};
  unique_fd slave;
  raw_pty() {
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
    slave.reset(open(ptsname(master), O_RDWR | O_NOCTTY));
    termios raw{};
    if (slave < 0 || tcgetattr(slave, &raw) != 0) return;
    cfmakeraw(&raw);
    if (tcsetattr(slave, TCSANOW, &raw) != 0) slave.reset();
  }
};

// send_msg(fd) in a thread of its own. If a test leaves it blocked, the
// destructor shuts the descriptor down, which ends the session, and joins.
class served {
 public:
  explicit served(int fd) : fd_(fd), thread_([this] { run(); }) {}
  ~served() {
    if (!wait_done(std::chrono::milliseconds(0))) shutdown(fd_, SHUT_RDWR);
    thread_.join();
  }
  served(const served&) = delete;
  served& operator=(const served&) = delete;

  bool wait_done(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, limit, [this] { return done_; });
  }
  pthread_t native_handle() { return thread_.native_handle(); }

 private:
  void run() {
    send_msg(fd_);
    std::lock_guard lock(mutex_);
    done_ = true;
    cv_.notify_all();
  }

  int fd_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;
};

constexpr std::chrono::milliseconds patience(5000);

// Waits up to `limit` for fd to become readable.
inline bool readable(int fd, std::chrono::milliseconds limit) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, static_cast<int>(limit.count())) == 1;
}

// One record (or whatever one read returns), or "" after `patience`.
inline std::string read_once(int fd) {
  char buf[4096];
  if (!readable(fd, patience)) return {};
  const ssize_t n = read(fd, buf, sizeof buf);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// Exactly `want` bytes, fewer only at end of stream or after `patience`.
inline std::string read_exactly(int fd, size_t want) {
  std::string got;
  char buf[4096];
  while (got.size() < want && readable(fd, patience)) {
    const ssize_t n = read(fd, buf, std::min(sizeof buf, want - got.size()));
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

inline bool send_record(int fd, const std::string& bytes) {
  return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

inline std::string ascii_upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

}  // namespace capecho_test

#endif  // CAPECHO_TESTS_SESSION_HELPERS_H
