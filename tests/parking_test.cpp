// Sessions whose client goes quiet give their thread back and wait parked;
// once the client speaks again they go on exactly as before. The real
// server binary on loopback.
#include <sched.h>
#include <sys/socket.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "instrumented.h"
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

// Besides its workers the server runs its main, signal, log and metrics
// threads, and a sanitizer may add one of its own.
constexpr int workers = 4;
constexpr int other_threads = 5;

TEST(Parking, QuietSessionsHoldNoThreadAndGoOnWhenTheClientSpeaks) {
  // Long enough for all of them to connect and park first on a loaded
  // machine, the sanitizers' several times slower stack switches included.
  const int idle_seconds = instrumented ? 30 : 10;
  server_process server(
      listen_args({"--workers", std::to_string(workers), "--thread-cache", "0", "--idle-timeout",
                   std::to_string(idle_seconds), "--metrics", "127.0.0.1:0"}));
  const int metrics = port_after(server, "metrics on http://127.0.0.1:");
  const int port = server.port();
  ASSERT_GT(port, 0) << server.log();
  std::vector<std::unique_ptr<tcp_client>> clients;
  std::vector<std::chrono::steady_clock::time_point> connected;
  for (int i = 0; i < 100; ++i) {
    connected.push_back(std::chrono::steady_clock::now());
    clients.push_back(std::make_unique<tcp_client>(port, "127.0.0.1", (idle_seconds + 30) * 1000));
    ASSERT_TRUE(clients.back()->greeted()) << i;
  }
  EXPECT_TRUE(eventually([&] { return metric(metrics, "capecho_sessions_parked") == "100"; }))
      << scrape(metrics);
  EXPECT_LE(threads_of(server.pid()), workers + other_threads)
      << "100 quiet sessions, no thread of their own";

  // Parked, within the idle time-out: they go on as before.
  for (size_t i = 0; i < clients.size(); i += 7)
    EXPECT_EQ(clients[i]->echo("back again " + std::to_string(i)),
              "BACK AGAIN " + std::to_string(i));
  EXPECT_TRUE(clients[0]->finish());

  // The idle time-out still ends a parked session, and not before its client
  // has been quiet that long: the server last heard from it after it connected.
  EXPECT_TRUE(clients[1]->closed_by_server());
  EXPECT_GE(std::chrono::steady_clock::now() - connected[1], std::chrono::seconds(idle_seconds))
      << "not before its time";
  server.signal(SIGTERM);
  EXPECT_EQ(server.wait_exit(), 0);
}

// Sessions are placed when they start and never move: the first few each
// get a solo worker of their own (blocking calls), the rest are packed onto
// one worker per core, and a solo worker set free takes the next new one.
// A solo session that goes quiet parks, registered only then, and still
// wakes when its client speaks: the late registration reports the data
// that came meanwhile.
TEST(Parking, FewSessionsRunAloneTheRestArePackedOntoOneWorkerPerCore) {
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  ASSERT_EQ(sched_getaffinity(0, sizeof cpus, &cpus), 0);
  const int solo = 3;
  const int count = CPU_COUNT(&cpus) + solo;
  server_process server(listen_args(
      {"--workers", std::to_string(count), "--idle-timeout", "30", "--metrics", "127.0.0.1:0"}));
  const int metrics = port_after(server, "metrics on http://127.0.0.1:");
  const int port = server.port();
  ASSERT_GT(port, 0) << server.log();
  auto solo_now = [&](int n) {
    return eventually(
        [&] { return metric(metrics, "capecho_sessions_solo") == std::to_string(n); });
  };
  std::vector<std::unique_ptr<tcp_client>> clients;
  for (int i = 0; i < solo + 5; ++i) {
    clients.push_back(std::make_unique<tcp_client>(port, "127.0.0.1", 10000));
    ASSERT_TRUE(clients.back()->greeted()) << i;
    EXPECT_TRUE(solo_now(std::min(i + 1, solo))) << i << "\n" << scrape(metrics);
  }
  EXPECT_LE(threads_of(server.pid()), count + other_threads) << "no thread per session";
  EXPECT_TRUE(eventually([&] { return metric(metrics, "capecho_sessions_parked") == "8"; }))
      << "every quiet session parks, the solo ones too\n"
      << scrape(metrics);
  // Sent while parked: solo (registered late) and packed sessions alike.
  for (size_t i = 0; i < clients.size(); ++i)
    EXPECT_EQ(clients[i]->echo("parked " + std::to_string(i)), "PARKED " + std::to_string(i));

  EXPECT_TRUE(clients[1]->finish());
  EXPECT_TRUE(solo_now(solo - 1)) << "its worker is free again";
  clients[1] = std::make_unique<tcp_client>(port, "127.0.0.1", 10000);
  ASSERT_TRUE(clients[1]->greeted());
  EXPECT_TRUE(solo_now(solo)) << "and takes the next session";
  for (size_t i = 0; i < clients.size(); ++i) {
    EXPECT_EQ(clients[i]->echo("again"), "AGAIN") << i;
    EXPECT_TRUE(clients[i]->finish()) << i;
  }
  EXPECT_TRUE(solo_now(0));
  server.signal(SIGTERM);
  EXPECT_EQ(server.wait_exit(), 0) << server.log();
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

// At a stop, parked sessions live on through the grace, then are ended. The
// grace starts when the signal arrives, no earlier than it was sent, so no
// session may end sooner than a grace after the signal.
TEST(Parking, AStopEndsParkedSessionsAfterTheGrace) {
  server_process server(listen_args({"--shutdown-grace", "1", "--metrics", "127.0.0.1:0"}));
  const int metrics = port_after(server, "metrics on http://127.0.0.1:");
  const int port = server.port();
  ASSERT_GT(port, 0) << server.log();
  std::vector<std::unique_ptr<tcp_client>> clients;
  for (int i = 0; i < 20; ++i) {
    clients.push_back(std::make_unique<tcp_client>(port, "127.0.0.1", 30000));
    ASSERT_TRUE(clients.back()->greeted());
  }
  ASSERT_TRUE(eventually([&] { return metric(metrics, "capecho_sessions_parked") == "20"; }))
      << scrape(metrics);
  const auto signalled = std::chrono::steady_clock::now();
  server.signal(SIGTERM);
  ASSERT_TRUE(server.wait_for_log("stopping: waiting up to 1s for 20 sessions")) << server.log();
  for (size_t i = 0; i < clients.size(); ++i) {
    EXPECT_TRUE(clients[i]->closed_by_server()) << i;
    EXPECT_GE(std::chrono::steady_clock::now() - signalled, 1s) << i << " ended before the grace";
  }
  EXPECT_TRUE(server.wait_for_log("ending 20 sessions")) << server.log();
  EXPECT_EQ(server.wait_exit(), 0) << server.log();
}

}  // namespace
