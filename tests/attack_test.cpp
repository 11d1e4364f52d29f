// What any client on the network can do to the server as shipped, with its
// default options unless a case says otherwise: bursts of quiet clients that
// vanish or run out their time, a client that resets while its echo waits,
// a server short of address space, and scrapers that never finish.
#include <dirent.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <fstream>
#include <mutex>
#include <sstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "instrumented.h"
#include "server_process.h"
#include "tcp_client.h"

using namespace capecho_test;
using namespace std::chrono_literals;

namespace {

// Sessions park several times slower under the sanitizers' stack switching
// (a few hundred a second under ThreadSanitizer): bursts are smaller there.
constexpr int burst_size = instrumented ? 250 : 1000;

// A burst needs more descriptors than a test usually has.
bool raise_own_descriptor_limit(rlim_t wanted) {
  rlimit l{};
  if (getrlimit(RLIMIT_NOFILE, &l) != 0) return false;
  l.rlim_cur = std::min(l.rlim_max, std::max(l.rlim_cur, wanted));
  return setrlimit(RLIMIT_NOFILE, &l) == 0 && l.rlim_cur >= wanted;
}

// The value of an unlabelled metric, or -1.
long long sample(int metrics_port, const std::string& name) {
  const std::string text = scrape(metrics_port);
  const size_t at = text.find("\n" + name + " ");
  return at == std::string::npos ? -1
                                 : std::strtoll(text.c_str() + at + name.size() + 2, nullptr, 10);
}

// Clock ticks the process has run, user and system.
long long cpu_ticks(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  std::istringstream fields(line.substr(line.rfind(')') + 2));
  std::string f;
  long long ticks = 0;
  for (int i = 3; fields >> f && i <= 15; ++i)
    if (i >= 14) ticks += std::stoll(f);
  return ticks;
}

std::vector<std::unique_ptr<tcp_client>> connect_quietly(int port, int n) {
  std::vector<std::unique_ptr<tcp_client>> clients;
  for (int i = 0; i < n; ++i) {
    clients.push_back(std::make_unique<tcp_client>(port));
    if (!clients.back()->connected()) break;
  }
  return clients;
}

// How many threads the server may have: its workers, its main, signal, log
// and metrics threads, and one a sanitizer may add. The default worker count
// follows the CPUs, so it is read from the server.
int server_threads(int metrics_port) {
  return static_cast<int>(sample(metrics_port, R"(capecho_worker_threads{state="busy"})") +
                          sample(metrics_port, R"(capecho_worker_threads{state="parked"})")) +
         5;
}

// A fresh client is greeted and echoed: the server is alive and serving.
void expect_serving(server_process& server, int port) {
  tcp_client probe(port);
  ASSERT_TRUE(probe.greeted()) << server.log();
  EXPECT_EQ(probe.echo("still here"), "STILL HERE");
  EXPECT_TRUE(probe.finish());
}

// How many sockets a process holds, or -1.
int sockets_of(pid_t pid) {
  const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return -1;
  int n = 0;
  // readdir is safe on a DIR of one's own; readdir_r is the deprecated one.
  // cppcheck-suppress readdirCalled
  while (const dirent* e = readdir(d)) {
    char link[64];
    const ssize_t len = readlink((dir + "/" + e->d_name).c_str(), link, sizeof link);
    n += len > 7 && std::string(link, 7) == "socket:";
  }
  closedir(d);
  return n;
}

// Address space the process has mapped, in KiB, or -1.
long long address_space_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmSize:", 0) == 0) return std::stoll(line.substr(7));
  return -1;
}

// 3000 clients that each send a chunk, from four threads at once.
std::vector<std::unique_ptr<tcp_client>> burst_of_senders(int port) {
  std::vector<std::unique_ptr<tcp_client>> senders;
  std::vector<std::thread> connectors;
  std::mutex guard;
  for (int t = 0; t < 4; ++t)
    connectors.emplace_back([&] {
      for (int i = 0; i < 750; ++i) {
        auto c = std::make_unique<tcp_client>(port, "127.0.0.1", 1000);
        c->send_all("hello\r\n");
        std::lock_guard lock(guard);
        senders.push_back(std::move(c));
      }
    });
  for (auto& t : connectors) t.join();
  return senders;
}

// Sessions greeted and echoed that then echo once more: still held.
size_t held(std::vector<std::unique_ptr<tcp_client>>& clients) {
  size_t n = 0;
  for (auto& c : clients)
    n += c->receive(16) == "Hello!!\n" + std::string(1, '\0') + "HELLO\r\n" &&
         c->echo("again") == "AGAIN";
  return n;
}

}  // namespace

// Quiet sessions park; a burst of them that then reset, or that run out
// their idle time, end cleanly, wherever they were parked and resumed. The
// resetting burst has no idle time-out, so all of them are parked at once
// however long they take to arrive; the other ends on its own.
TEST(Attack, BurstsOfQuietClientsThatResetOrTimeOutEndCleanly) {
  ASSERT_TRUE(raise_own_descriptor_limit(burst_size + 200));
  {
    server_process server(listen_args({"--idle-timeout", "0", "--metrics", "127.0.0.1:0"}));
    const int metrics = port_after(server, "metrics on http://127.0.0.1:");
    const int port = server.port();
    ASSERT_GT(port, 0) << server.log();
    const pid_t pid = server.pid();
    const size_t maps_before = mappings_of(pid);

    auto resetting = connect_quietly(port, burst_size);
    ASSERT_EQ(resetting.size(), size_t{burst_size});
    EXPECT_TRUE(
        eventually([&] { return sample(metrics, "capecho_sessions_parked") == burst_size; }, 60s))
        << sample(metrics, "capecho_sessions_parked");
    EXPECT_LE(threads_of(pid), server_threads(metrics)) << "quiet sessions hold no thread";
    if (!instrumented) {  // ThreadSanitizer maps state of its own for each session's stack switch
      EXPECT_LT(mappings_of(pid), maps_before + 64) << "nor a mapping of their own";
    }
    for (auto& c : resetting) c->reset();
    EXPECT_TRUE(eventually([&] { return sample(metrics, "capecho_sessions_active") == 0; }, 60s));
    expect_serving(server, port);
    server.signal(SIGTERM);
    EXPECT_EQ(server.wait_exit(), 0) << server.log();
  }
  server_process server(listen_args({"--idle-timeout", "2", "--metrics", "127.0.0.1:0"}));
  const int metrics = port_after(server, "metrics on http://127.0.0.1:");
  const int port = server.port();
  ASSERT_GT(port, 0) << server.log();
  auto timing_out = connect_quietly(port, burst_size);
  ASSERT_EQ(timing_out.size(), size_t{burst_size});
  ASSERT_TRUE(eventually([&] { return sample(metrics, "capecho_sessions_active") == 0; }, 60s))
      << "the idle time-out ends them all";
  EXPECT_EQ(sample(metrics, "capecho_connections_accepted_total"), burst_size);
  int ended_cleanly = 0;
  for (auto& c : timing_out) ended_cleanly += c->greeted() && c->closed_by_server();
  EXPECT_EQ(ended_cleanly, burst_size) << "each was greeted, then closed";
  expect_serving(server, port);
  server.signal(SIGTERM);
  EXPECT_EQ(server.wait_exit(), 0) << server.log();
}

// A client that stops reading parks its session in a send; when it resets,
// the session ends at once and costs no CPU afterwards, even with no idle
// time-out, and a stop is not held up by it.
TEST(Attack, AResetWhileTheEchoWaitsEndsTheSessionAtOnce) {
  server_process server(
      listen_args({"--idle-timeout", "0", "--socket-buffer", "16384", "--metrics", "127.0.0.1:0"}));
  const int metrics = port_after(server, "metrics on http://127.0.0.1:");
  const int port = server.port();
  ASSERT_GT(port, 0) << server.log();
  // Others come and go around it, so the workers it ran on serve them.
  std::vector<std::unique_ptr<tcp_client>> others;
  for (int i = 0; i < 8; ++i) {
    others.push_back(std::make_unique<tcp_client>(port));
    ASSERT_TRUE(others.back()->greeted());
  }
  tcp_client c(port);
  ASSERT_TRUE(c.greeted());
  const int small = 16384;
  setsockopt(c.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  const std::string chunk(1000, 'x');
  for (int i = 0; i < 400 && send(c.fd(), chunk.data(), chunk.size(), MSG_DONTWAIT) > 0; ++i) {
  }
  EXPECT_TRUE(eventually([&] { return sample(metrics, "capecho_sessions_parked") >= 1; }));
  for (auto& o : others) EXPECT_EQ(o->echo("hi"), "HI");
  c.reset();
  for (auto& o : others) EXPECT_TRUE(o->finish());
  EXPECT_TRUE(eventually([&] { return sample(metrics, "capecho_sessions_active") == 0; }))
      << "with no idle time-out, only the reset can end it: "
      << sample(metrics, "capecho_sessions_active");
  const long long before = cpu_ticks(server.pid());
  std::this_thread::sleep_for(1s);
  EXPECT_LT(cpu_ticks(server.pid()) - before, 20) << "nothing left spinning";
  server.signal(SIGTERM);
  const auto asked = std::chrono::steady_clock::now();
  EXPECT_EQ(server.wait_exit(), 0) << server.log();
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 5s);
}

// Under a limit on address space, sessions are held for the memory they
// use: each thread taking a malloc arena of its own (64 MiB of address space
// each) once cost a quarter of these 3000, and each worker's thread stack
// (8 MiB) kept a third of these workers from starting. Out of address space, a session
// that cannot get memory costs that session at most, and it is said; the
// server goes on serving the others.
TEST(Attack, RunningOutOfAddressSpaceCostsSessionsNotTheServer) {
  if (instrumented) GTEST_SKIP() << "sanitizers reserve more address space than the limit";
  ASSERT_TRUE(raise_own_descriptor_limit(3200));
  // As many workers whatever the cores: each thread's stack is address space.
  const std::vector<std::string> args =
      listen_args({"--max-connections", "4000", "--backlog", "4096", "--workers", "48"});
  spawn_setup limited;
  limited.shell_prefix = "ulimit -v 262144;";
  long long idle_kib = 0;
  {
    server_process server(args, limited);
    const int port = server.port();
    ASSERT_GT(port, 0) << server.log();
    idle_kib = address_space_kib(server.pid());
    auto burst = burst_of_senders(port);
    EXPECT_EQ(held(burst), 3000U) << server.log();
    burst.clear();
    server.signal(SIGTERM);
    EXPECT_EQ(server.wait_exit(), 0);
    EXPECT_EQ(server.log().find("cannot start a thread"), std::string::npos) << server.log();
  }

  // Room for about half of them beyond what the idle server maps.
  limited.shell_prefix = "ulimit -v " + std::to_string(idle_kib + 1024) + ";";
  server_process server(args, limited);
  const int port = server.port();
  ASSERT_GT(port, 0) << server.log();
  auto burst = burst_of_senders(port);
  size_t answered = 0;
  for (size_t i = 0; i < 20; ++i)
    answered += burst[i]->receive(16) == "Hello!!\n" + std::string(1, '\0') + "HELLO\r\n";
  EXPECT_GT(answered, 0U) << "the first ones at least are served";
  burst.clear();
  expect_serving(server, port);
  EXPECT_TRUE(server.wait_for_log("out of memory")) << "sessions are not lost silently";
  int status = 0;
  EXPECT_EQ(waitpid(server.pid(), &status, WNOHANG), 0) << "still running: " << server.log();
}

// Scrapers that send half a request and wait are answered side by side, each
// within its own deadline, so a real scrape is not queued behind them. Nor
// is it lost among a crowd of them and of scrapers sending garbage, each
// coming back as soon as it is closed.
TEST(Attack, SlowScrapersDoNotHoldUpARealScrape) {
  ASSERT_TRUE(raise_own_descriptor_limit(512));
  server_process server(listen_args({"--metrics", "127.0.0.1:0"}));
  const int metrics = port_after(server, "metrics on http://127.0.0.1:");
  ASSERT_GT(metrics, 0) << server.log();
  std::vector<std::unique_ptr<tcp_client>> slow;
  const auto first_came = std::chrono::steady_clock::now();
  for (int i = 0; i < 20; ++i) {
    slow.push_back(std::make_unique<tcp_client>(metrics));
    ASSERT_TRUE(slow.back()->send_all("GET /metr"));
  }
  EXPECT_NE(scrape(metrics).find("capecho_sessions_active "), std::string::npos);
  // Queued behind them, it could be answered no sooner than the first one's
  // 2 s deadline, which began after it connected.
  EXPECT_LT(std::chrono::steady_clock::now() - first_came, 2s) << "not held up by a deadline";
  EXPECT_TRUE(slow.front()->closed_by_server()) << "each slow one still has its deadline";
  slow.clear();

  // A real scraper that has connected but not yet sent its request when a
  // crowd arrives: a hundred slow scrapers and forty sending garbage.
  tcp_client real(metrics);
  ASSERT_TRUE(real.connected());
  std::vector<std::unique_ptr<tcp_client>> crowd;
  for (int i = 0; i < 140; ++i) {
    crowd.push_back(std::make_unique<tcp_client>(metrics));
    ASSERT_TRUE(crowd.back()->send_all(i < 40 ? std::string(200, '\x01') : "GET /metr"));
  }
  // Its two listeners, and the crowd.
  EXPECT_TRUE(eventually([&] { return sockets_of(server.pid()) >= 2 + 140; }))
      << "taken side by side: " << sockets_of(server.pid());
  ASSERT_TRUE(real.send_all("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n"));
  EXPECT_NE(real.receive(1 << 20).find("capecho_sessions_active "), std::string::npos)
      << "answered, not displaced by the crowd";
  EXPECT_NE(scrape(metrics).find("capecho_sessions_active "), std::string::npos);
}

// Behind a balancer, a burst of connections that send half a PROXY header
// and wait park like quiet sessions: they hold no thread, and a whole header
// from the same balancer is served at once. The header time-out is far off,
// so all of them can park however long they take to arrive.
TEST(Attack, HalfSentProxyHeadersHoldNoThread) {
  ASSERT_TRUE(raise_own_descriptor_limit(burst_size + 200));
  server_process server(listen_args({"--proxy-protocol", "--trusted-proxy", "127.0.0.0/8",
                                     "--proxy-timeout", "600", "--metrics", "127.0.0.1:0"}));
  const int metrics = port_after(server, "metrics on http://127.0.0.1:");
  const int port = server.port();
  ASSERT_GT(port, 0) << server.log();
  auto halves = connect_quietly(port, burst_size);
  ASSERT_EQ(halves.size(), size_t{burst_size});
  for (auto& c : halves) ASSERT_TRUE(c->send_all("PROXY TCP4 192.0.2."));
  EXPECT_TRUE(
      eventually([&] { return sample(metrics, "capecho_sessions_parked") == burst_size; }, 60s))
      << sample(metrics, "capecho_sessions_parked");
  EXPECT_LE(threads_of(server.pid()), server_threads(metrics));
  tcp_client whole(port);
  ASSERT_TRUE(whole.send_all("PROXY TCP4 192.0.2.7 192.0.2.1 40000 7007\r\n"));
  EXPECT_TRUE(whole.greeted()) << server.log();
  EXPECT_EQ(whole.echo("through"), "THROUGH");
  EXPECT_TRUE(halves.front()->send_all("9 192.0.2.1 40001 7007\r\n"));
  EXPECT_TRUE(halves.front()->greeted()) << "a header that arrives in parts is read whole";
}
