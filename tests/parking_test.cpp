// Sessions whose client goes quiet give their thread back and wait parked;
// once the client speaks again they go on exactly as before. The real
// server binary on loopback.
#include <sys/socket.h>

#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "server_process.h"
#include "tcp_client.h"

using namespace capecho_test;
using namespace std::chrono_literals;

namespace {

std::string metric(int port, const std::string& name) {
  const std::string text = scrape(port);
  const size_t at = text.find("\n" + name + " ");
  return at == std::string::npos
             ? ""
             : text.substr(at + name.size() + 2, text.find('\n', at + 1) - at - name.size() - 2);
}

TEST(Parking, QuietSessionsHoldNoThreadAndGoOnWhenTheClientSpeaks) {
  server_process server(
      listen_args({"--thread-cache", "0", "--idle-timeout", "3", "--metrics", "127.0.0.1:0"}));
  const int metrics = port_after(server, "metrics on http://127.0.0.1:");
  const int port = server.port();
  ASSERT_GT(port, 0) << server.log();
  std::vector<std::unique_ptr<tcp_client>> clients;
  for (int i = 0; i < 100; ++i) {
    clients.push_back(std::make_unique<tcp_client>(port));
    ASSERT_TRUE(clients.back()->greeted()) << i;
  }
  EXPECT_TRUE(eventually([&] { return metric(metrics, "capecho_sessions_parked") == "100"; }))
      << scrape(metrics);
  EXPECT_LT(threads_of(server.pid()), 20) << "100 quiet sessions, a handful of threads";

  // Quiet for longer than a session takes to park, shorter than the idle time-out.
  std::this_thread::sleep_for(1500ms);
  for (size_t i = 0; i < clients.size(); i += 7)
    EXPECT_EQ(clients[i]->echo("back again " + std::to_string(i)),
              "BACK AGAIN " + std::to_string(i));
  EXPECT_TRUE(clients[0]->finish());

  // The idle time-out still ends a parked session: 3 s after it last spoke.
  const auto quiet_since = std::chrono::steady_clock::now();
  EXPECT_TRUE(clients[1]->closed_by_server());
  const auto waited = std::chrono::steady_clock::now() - quiet_since;
  EXPECT_GT(waited, 1s) << "not before its time";
  EXPECT_LT(waited, 4s);
  server.signal(SIGTERM);
  EXPECT_EQ(server.wait_exit(), 0);
}

// A client that sends without reading fills the server's send buffer: the
// session parks on its write, and resumes when the client reads.
TEST(Parking, ASessionWaitingToWriteParksAndLosesNothing) {
  server_process server(listen_args({"--socket-buffer", "16384", "--metrics", "127.0.0.1:0"}));
  const int metrics = port_after(server, "metrics on http://127.0.0.1:");
  const int port = server.port();
  ASSERT_GT(port, 0);
  tcp_client c(port);
  ASSERT_TRUE(c.greeted());
  const int rcvbuf = 16384;
  setsockopt(c.fd(), SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  std::string sent;
  for (int i = 0; sent.size() < 300000; ++i) {
    const std::string chunk(1000, static_cast<char>('a' + i % 26));
    if (send(c.fd(), chunk.data(), chunk.size(), MSG_DONTWAIT) <= 0) break;
    sent += chunk;
  }
  EXPECT_TRUE(eventually([&] { return metric(metrics, "capecho_sessions_parked") == "1"; }))
      << "the server's write blocks, then parks";
  std::string expected = sent;
  for (char& ch : expected) ch = static_cast<char>(ch - 'a' + 'A');
  EXPECT_EQ(c.receive(expected.size()), expected);
  EXPECT_TRUE(c.finish());
}

// At a stop, sessions past the grace are ended whether parked or not.
TEST(Parking, AStopEndsParkedSessionsAfterTheGrace) {
  server_process server(listen_args({"--shutdown-grace", "1"}));
  const int port = server.port();
  ASSERT_GT(port, 0);
  std::vector<std::unique_ptr<tcp_client>> clients;
  for (int i = 0; i < 20; ++i) {
    clients.push_back(std::make_unique<tcp_client>(port));
    ASSERT_TRUE(clients.back()->greeted());
  }
  std::this_thread::sleep_for(300ms);
  const auto start = std::chrono::steady_clock::now();
  server.signal(SIGTERM);
  for (auto& c : clients) EXPECT_TRUE(c->closed_by_server());
  EXPECT_EQ(server.wait_exit(), 0) << server.log();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
}

}  // namespace
