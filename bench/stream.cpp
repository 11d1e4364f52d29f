// One connection writing as fast as it can while reading the echo: the
// throughput figure. Every byte that comes back is checked.
#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "load.h"
#include "net.h"

namespace capecho_bench {
namespace {

const std::string greeting("Hello!!\n\0", 9);
constexpr size_t batch_bytes = 65536;  // per write: the server, not the client, is measured

constexpr size_t read_bytes = 65536;

// Compares what arrived with the greeting and then the echoed pattern, one
// memcmp per read against the pattern repeated past a read's length.
class stream_checker {
 public:
  explicit stream_checker(const std::string& echo) : period_(echo.size()) {
    while (repeated_.size() < read_bytes + period_) repeated_ += echo;
  }
  uint64_t at = 0;  // bytes of the reply so far, greeting included

  bool check(const char* p, size_t n) {
    while (n > 0 && at < greeting.size()) {
      if (*p++ != greeting[at++]) return false;
      --n;
    }
    const size_t phase = static_cast<size_t>((at - greeting.size()) % period_);
    at += n;
    return memcmp(p, repeated_.data() + phase, n) == 0;
  }

 private:
  size_t period_;
  std::string repeated_;
};

}  // namespace

run_result run_stream(const target& t, size_t chunk, uint64_t total_bytes, double max_seconds,
                      bool upper_cased) {
  run_result r;
  const std::string pattern = test_chunk(chunk, 7);
  std::string out;  // whole chunks, so that every write continues the pattern
  while (out.size() + chunk <= batch_bytes) out += pattern;
  stream_checker checker(upper_cased ? upper_ascii(pattern) : pattern);
  const int fd = start_connect(t);
  pollfd p{fd, POLLOUT, 0};
  if (fd < 0 || poll(&p, 1, 5000) != 1 || !connect_succeeded(fd)) {
    if (fd >= 0) close(fd);
    r.errors = 1;
    return r;
  }
  const uint64_t start = now_ns();
  const uint64_t deadline = start + static_cast<uint64_t>(max_seconds * 1e9);
  const uint64_t reply_bytes = greeting.size() + total_bytes;
  uint64_t sent = 0;
  size_t offset = 0;  // into the current chunk
  char buf[read_bytes];
  while (checker.at < reply_bytes && r.errors == 0) {
    if (now_ns() > deadline) {
      ++r.errors;
      break;
    }
    p.events = POLLIN | (sent < total_bytes ? POLLOUT : 0);
    if (poll(&p, 1, 1000) <= 0) continue;
    if ((p.revents & POLLOUT) != 0 && sent < total_bytes) {
      const size_t want =
          static_cast<size_t>(std::min<uint64_t>(out.size() - offset, total_bytes - sent));
      const ssize_t n = send(fd, out.data() + offset, want, MSG_NOSIGNAL);
      if (n > 0) {
        sent += static_cast<uint64_t>(n);
        offset = (offset + static_cast<size_t>(n)) % out.size();
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        ++r.errors;
      }
    }
    if ((p.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      const ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n > 0 && !checker.check(buf, static_cast<size_t>(n))) ++r.errors;
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) ++r.errors;
    }
  }
  r.seconds = seconds_since(start);
  r.bytes = checker.at > greeting.size() ? checker.at - greeting.size() : 0;
  // Alone in its read, so the terminator is not taken for data.
  if (r.errors == 0 && send(fd, ".\r\n", 3, MSG_NOSIGNAL) == 3) {
    p.events = POLLIN;
    if (poll(&p, 1, 5000) != 1 || recv(fd, buf, sizeof buf, 0) != 0) ++r.errors;
    r.sessions = r.errors == 0 ? 1 : 0;
  }
  close(fd);
  return r;
}

}  // namespace capecho_bench
