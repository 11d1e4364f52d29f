// A client's last bytes and its end of stream, or urgent data, arriving
// together: the socket is edge-triggered, and a read that stops short of
// what is queued gets no further edge. Every case runs with the session
// alone on its worker (blocking calls) and sharing one (parked waits), on
// the real server binary.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sched.h>
#include <sys/socket.h>

#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "server_process.h"
#include "tcp_client.h"

using namespace capecho_test;

namespace {

constexpr int patience_ms = 20000;  // far below the idle time-out, far above any wait

std::string upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

std::string letters(size_t n) {
  std::string s(n, 'a');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 26);
  return s;
}

void set_cork(int fd, int on) {
  ASSERT_EQ(setsockopt(fd, IPPROTO_TCP, TCP_CORK, &on, sizeof on), 0);
}

// Corked, the FIN rides on the segment that carries the last bytes.
bool send_then_end(int fd, const std::string& data) {
  set_cork(fd, 1);
  for (size_t sent = 0; sent < data.size();) {
    const ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return shutdown(fd, SHUT_WR) == 0;
}

std::string metric(int port, const std::string& name) {
  const std::string text = scrape(port);
  const size_t at = text.find("\n" + name + " ");
  if (at == std::string::npos) return "";
  const size_t from = at + name.size() + 2;
  return text.substr(from, text.find('\n', from) - from);
}

// One server, its sessions alone on their worker or sharing one with an
// idle client; behind a balancer when `proxied`.
class placement {
 public:
  placement(bool shared, bool proxied)
      : shared_(shared),
        server_(args(shared, proxied)),
        metrics_(port_after(server_, "metrics on http://127.0.0.1:")),
        port_(server_.port()) {
    if (!shared_) return;
    idle_ = std::make_unique<tcp_client>(port_, "127.0.0.1", patience_ms);
    if (proxied) idle_->send_all("PROXY UNKNOWN\r\n");
    idle_->greeted();
  }

  int port() const { return port_; }
  server_process& server() { return server_; }

  // Waits until `sessions` are parked, the idle one included; true when they are.
  bool parked(int sessions) {
    return eventually([&] {
      return metric(metrics_, "capecho_sessions_parked") == std::to_string(sessions + shared_);
    });
  }

  // Runs `send` with the server stopped, so that all it sends is queued
  // before the server sees the first of it.
  template <typename Send>
  void while_paused(Send send) {
    server_.signal(SIGSTOP);
    send();
    server_.signal(SIGCONT);
  }

 private:
  static std::vector<std::string> args(bool shared, bool proxied) {
    // Alone: one worker more than the cores is a solo worker.
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    const int cores = sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus) : 1;
    std::vector<std::string> a = listen_args({"--workers", shared ? "1" : std::to_string(cores + 1),
                                              "--idle-timeout", "600", "--metrics", "127.0.0.1:0"});
    if (proxied) a.insert(a.end(), {"--proxy-protocol", "--trusted-proxy", "127.0.0.1"});
    return a;
  }

  bool shared_;
  server_process server_;
  int metrics_;
  int port_;
  std::unique_ptr<tcp_client> idle_;
};

// The echo of `data` and then the server's end, both within patience.
void expect_echo_and_end(tcp_client& c, const std::string& data) {
  const std::string echoed = c.receive(data.size());
  EXPECT_EQ(echoed.size(), data.size());
  EXPECT_TRUE(echoed == upper(data)) << "the echo differs";
  EXPECT_TRUE(c.closed_by_server()) << "the end of stream was not seen";
}

class EndOfStream : public testing::TestWithParam<bool> {};

TEST_P(EndOfStream, LastBytesWithTheEndAreEchoedThenTheSessionEnds) {
  placement where(GetParam(), false);
  ASSERT_GT(where.port(), 0) << where.server().log();
  for (const size_t size : {3, 1024, 3000}) {
    SCOPED_TRACE(size);
    tcp_client c(where.port(), "127.0.0.1", patience_ms);
    ASSERT_TRUE(c.greeted());
    if (GetParam()) {
      ASSERT_TRUE(where.parked(1));
    }
    const std::string data = letters(size);
    where.while_paused([&] { ASSERT_TRUE(send_then_end(c.fd(), data)); });
    expect_echo_and_end(c, data);
  }

  // A long stream, read while it is sent; the last chunk is short.
  tcp_client c(where.port(), "127.0.0.1", patience_ms);
  ASSERT_TRUE(c.greeted());
  const std::string data = letters((size_t{1} << 20) + 100);
  std::thread writer([&] { send_then_end(c.fd(), data); });
  expect_echo_and_end(c, data);
  writer.join();
}

TEST_P(EndOfStream, AHeaderTheClientsBytesAndTheEndInOneSegment) {
  placement where(GetParam(), true);
  ASSERT_GT(where.port(), 0) << where.server().log();
  tcp_client c(where.port(), "127.0.0.1", patience_ms);
  ASSERT_TRUE(where.parked(1)) << "waiting for the header";
  where.while_paused([&] { ASSERT_TRUE(send_then_end(c.fd(), "PROXY UNKNOWN\r\nlast words")); });
  ASSERT_TRUE(c.greeted());
  expect_echo_and_end(c, "last words");
}

// A read stops at the urgent mark; the bytes behind it are echoed all the
// same (the urgent byte itself is out of band, and no handler reads it).
TEST_P(EndOfStream, BytesAroundAnUrgentMarkAreAllEchoed) {
  placement where(GetParam(), false);
  ASSERT_GT(where.port(), 0) << where.server().log();
  tcp_client c(where.port(), "127.0.0.1", patience_ms);
  ASSERT_TRUE(c.greeted());
  if (GetParam()) {
    ASSERT_TRUE(where.parked(1));
  }
  where.while_paused([&] {
    ASSERT_EQ(send(c.fd(), "aaaa", 4, 0), 4);
    ASSERT_EQ(send(c.fd(), "b", 1, MSG_OOB), 1);
    ASSERT_EQ(send(c.fd(), "cccc", 4, 0), 4);
  });
  EXPECT_EQ(c.receive(8), "AAAACCCC");
  EXPECT_EQ(c.echo("more"), "MORE") << "the session goes on";
  EXPECT_TRUE(c.finish());
}

INSTANTIATE_TEST_SUITE_P(Placement, EndOfStream, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& p) {
                           return p.param ? "SharingAWorker" : "AloneOnAWorker";
                         });

}  // namespace
