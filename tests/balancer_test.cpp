// capecho-server instances behind real load balancers, HAProxy and nginx's
// stream module, configured by the snippets shipped in packaging/fleet (with
// the test's own ports written in). Each test skips, saying so, where its
// balancer is not installed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "server_process.h"
#include "tcp_client.h"
#include "unique_fd.h"

using namespace capecho_test;
using namespace std::chrono_literals;

namespace {

// The addresses the shipped snippets use, replaced by free ports here.
const char* const snippet_front = "127.0.0.1:7000";
const char* const snippet_backends[] = {"127.0.0.1:7001", "127.0.0.1:7002"};

std::string installed(const std::string& name) {
  for (const char* dir : {"/usr/sbin", "/usr/bin", "/usr/local/sbin", "/usr/local/bin", "/sbin"}) {
    std::string path = std::string(dir) + "/" + name;
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return "";
}

// A loopback port that was free a moment ago.
int free_port() {
  int port = 0;
  const unique_fd listener(loopback_listener(port));
  return listener.get() >= 0 ? port : 0;
}

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
    text.replace(at, from.size(), to);
  return text;
}

// One whole session, each echo checked byte for byte.
bool run_session(int port, const std::string& source, const std::string& tag) {
  tcp_client c(port, "127.0.0.1", 5000, source.c_str());
  if (!c.connected() || !c.greeted()) return false;
  for (int round = 0; round < 3; ++round) {
    const std::string chunk = "session " + tag + " round " + std::to_string(round) + "\r\n";
    std::string expected = chunk;
    for (char& ch : expected) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
    if (c.echo(chunk) != expected) return false;
  }
  return c.finish();
}

// Two servers and a balancer in front of them, in a scratch directory.
class fleet {
 public:
  fleet(const std::string& snippet, std::vector<std::string> server_extra)
      : front_(free_port()), extra_(std::move(server_extra)) {
    char dir[] = "/tmp/capecho-fleet-XXXXXX";
    if (mkdtemp(dir) != nullptr) dir_ = dir;
    std::ifstream in(std::string(FLEET_CONFIG_DIR) + "/" + snippet);
    std::stringstream text;
    text << in.rdbuf();
    config_ = replace_all(text.str(), snippet_front, "127.0.0.1:" + std::to_string(front_));
    for (int i = 0; i < 2; ++i) {
      ports_[i] = free_port();
      config_ = replace_all(config_, snippet_backends[i], "127.0.0.1:" + std::to_string(ports_[i]));
      start_server(i);
    }
    std::ofstream(dir_ + "/" + snippet) << config_;
  }
  ~fleet() {
    balancer_.reset();
    for (auto& s : servers_) s.reset();
    if (!dir_.empty()) (void)system(("rm -rf " + dir_).c_str());
  }
  fleet(const fleet&) = delete;
  fleet& operator=(const fleet&) = delete;

  void start_balancer(const std::string& program, const std::vector<std::string>& args) {
    spawn_setup setup;
    setup.program = program;
    balancer_ = std::make_unique<server_process>(args, setup);
  }

  void start_server(int i) {
    std::vector<std::string> args{"--listen",        "127.0.0.1:" + std::to_string(ports_[i]),
                                  "--verbose",       "--proxy-protocol",
                                  "--trusted-proxy", "127.0.0.1"};
    args.insert(args.end(), extra_.begin(), extra_.end());
    servers_[i] = std::make_unique<server_process>(args);
  }

  // Until a session goes through the balancer.
  bool serving() {
    return eventually([this] { return run_session(front_, "127.0.0.9", "probe"); }, 15s);
  }

  bool servers_listening() {
    return servers_[0]->wait_for_log("listening on") && servers_[1]->wait_for_log("listening on");
  }

  std::string server_logs() const { return servers_[0]->log() + servers_[1]->log(); }
  bool any_server_logged(const std::string& text) {
    return eventually([&] {
      for (auto& s : servers_) s->wait_for_log(text, 10ms);
      return server_logs().find(text) != std::string::npos;
    });
  }

  const std::string& dir() const { return dir_; }
  int front() const { return front_; }
  server_process& server(int i) { return *servers_[i]; }
  server_process& balancer() { return *balancer_; }

 private:
  int front_;
  int ports_[2] = {};
  std::vector<std::string> extra_;
  std::string dir_, config_;
  std::unique_ptr<server_process> servers_[2];
  std::unique_ptr<server_process> balancer_;
};

std::unique_ptr<fleet> haproxy_fleet(std::vector<std::string> server_extra) {
  auto f = std::make_unique<fleet>("haproxy.cfg", std::move(server_extra));
  f->start_balancer(installed("haproxy"), {"-f", f->dir() + "/haproxy.cfg", "-db"});
  return f;
}

std::unique_ptr<fleet> nginx_fleet(std::vector<std::string> server_extra) {
  auto f = std::make_unique<fleet>("nginx.conf", std::move(server_extra));
  // Run as the configuration says, with no worker process to outlive it.
  f->start_balancer(installed("nginx"), {"-e", "stderr", "-p", f->dir(), "-c",
                                         f->dir() + "/nginx.conf", "-g", "master_process off;"});
  return f;
}

// Sessions through the balancer are served, and each server sees the
// clients' own addresses: in its session lines and in its per-source limit.
void expect_clients_seen_through(fleet& f) {
  ASSERT_TRUE(f.servers_listening()) << f.server_logs();
  ASSERT_TRUE(f.serving()) << f.balancer().log() << f.server_logs();
  EXPECT_TRUE(run_session(f.front(), "127.0.0.3", "three"));
  EXPECT_TRUE(f.any_server_logged("session 127.0.0.3:")) << f.server_logs();

  // --max-per-source 1 on each of the two: a third session from one host is refused.
  tcp_client first(f.front(), "127.0.0.1", 5000, "127.0.0.2");
  ASSERT_TRUE(first.greeted());
  tcp_client second(f.front(), "127.0.0.1", 5000, "127.0.0.2");
  ASSERT_TRUE(second.greeted());
  tcp_client third(f.front(), "127.0.0.1", 5000, "127.0.0.2");
  EXPECT_TRUE(third.closed_by_server());
  EXPECT_TRUE(f.any_server_logged("has 1 session already")) << f.server_logs();
  EXPECT_NE(f.server_logs().find("127.0.0.2:"), std::string::npos);
  EXPECT_TRUE(run_session(f.front(), "127.0.0.4", "four")) << "another host is served meanwhile";
  EXPECT_TRUE(first.finish());
  EXPECT_TRUE(second.finish());
  EXPECT_EQ(f.server_logs().find("no valid PROXY header"), std::string::npos) << f.server_logs();
}

TEST(Balancer, HAProxyPassesEachClientsAddressAndItsChecksAreServedQuietly) {
  if (installed("haproxy").empty()) GTEST_SKIP() << "haproxy is not installed: skipped";
  auto f = haproxy_fleet({"--max-per-source", "1", "--metrics", "127.0.0.1:0"});
  expect_clients_seen_through(*f);
  // Checks every 500 ms, each a v2 LOCAL session.
  const int metrics = port_after(f->server(0), "metrics on http://127.0.0.1:");
  const std::string served = "capecho_health_checks_total{result=\"served\"} ";
  EXPECT_TRUE(eventually([&] {
    const std::string text = scrape(metrics);
    const size_t at = text.find(served);
    return at != std::string::npos && strtol(text.c_str() + at + served.size(), nullptr, 10) >= 3;
  })) << scrape(metrics);
  EXPECT_EQ(f->server_logs().find("session 127.0.0.1:"), std::string::npos)
      << "health checks are not logged\n"
      << f->server_logs();
  EXPECT_EQ(f->balancer().log().find("is DOWN"), std::string::npos) << f->balancer().log();
}

TEST(Balancer, NginxStreamPassesEachClientsAddress) {
  if (installed("nginx").empty()) GTEST_SKIP() << "nginx is not installed: skipped";
  struct stat st {};
  if (stat("/usr/lib/nginx/modules/ngx_stream_module.so", &st) != 0)
    GTEST_SKIP() << "nginx's stream module (libnginx-mod-stream) is not installed: skipped";
  auto f = nginx_fleet({"--max-per-source", "1"});
  expect_clients_seen_through(*f);
}

// Clients run sessions without pause while each server in turn is stopped
// with SIGTERM and started again: not one session may fail.
TEST(Balancer, RollingRestartBehindHAProxyLosesNoSession) {
  if (installed("haproxy").empty()) GTEST_SKIP() << "haproxy is not installed: skipped";
  auto f = haproxy_fleet({"--drain-delay", "2"});
  ASSERT_TRUE(f->servers_listening()) << f->server_logs();
  ASSERT_TRUE(f->serving()) << f->balancer().log();

  std::atomic<bool> running{true};
  std::atomic<unsigned> sessions{0}, failed{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 6; ++t)
    clients.emplace_back([&, t] {
      const std::string source = "127.0.0." + std::to_string(2 + t);
      for (unsigned n = 0; running && n < 1000000; ++n) {
        if (!run_session(f->front(), source, std::to_string(t) + "." + std::to_string(n))) ++failed;
        ++sessions;
        std::this_thread::sleep_for(1ms);
      }
    });
  for (int i = 0; i < 2; ++i) {
    std::this_thread::sleep_for(500ms);
    f->server(i).signal(SIGTERM);
    EXPECT_EQ(f->server(i).wait_exit(), 0) << f->server(i).log();
    const std::string before = f->server(i).log();
    f->start_server(i);
    ASSERT_TRUE(f->server(i).wait_for_log("listening on")) << before << f->server(i).log();
    // Back in rotation once it serves clients again.
    EXPECT_TRUE(f->server(i).wait_for_log("session 127.0.0.", 15s)) << f->balancer().log();
  }
  std::this_thread::sleep_for(500ms);
  running = false;
  for (auto& c : clients) c.join();
  std::cout << "rolling restart: " << sessions << " sessions, " << failed << " failed\n";
  EXPECT_GT(sessions, 100u);
  EXPECT_EQ(failed, 0u) << f->balancer().log();
}

// Sets a sysctl for one test and puts the old value back.
class sysctl_setting {
 public:
  sysctl_setting(const std::string& path, const std::string& value) : path_(path) {
    std::ifstream(path_) >> old_;
    std::ofstream out(path_);
    ok_ = !old_.empty() && static_cast<bool>(out << value << std::flush);
  }
  ~sysctl_setting() {
    if (ok_) std::ofstream(path_) << old_;
  }
  sysctl_setting(const sysctl_setting&) = delete;
  sysctl_setting& operator=(const sysctl_setting&) = delete;
  bool ok() const { return ok_; }

 private:
  std::string path_, old_;
  bool ok_ = false;
};

// Without a balancer, instances share a port with --reuse-port. Clients the
// kernel queued for an instance that stops are reset, unless
// net.ipv4.tcp_migrate_req=1 moves them to an instance that stays.
TEST(Fleet, ReusePortQueuedClientsMoveToTheInstanceThatStays) {
  const sysctl_setting migrate("/proc/sys/net/ipv4/tcp_migrate_req", "1");
  if (!migrate.ok()) GTEST_SKIP() << "cannot set net.ipv4.tcp_migrate_req here: skipped";
  const std::string at = "127.0.0.1:" + std::to_string(free_port());
  // Overload protection off: at its limit it would end the idle session it
  // holds, take a queued client in its place and end that one in turn.
  server_process stopping(
      {"--listen", at, "--reuse-port", "--max-connections", "1", "--overload-idle", "0"});
  server_process staying({"--listen", at, "--reuse-port"});
  ASSERT_TRUE(stopping.wait_for_log("listening on") && staying.wait_for_log("listening on"))
      << stopping.log() << staying.log();
  const int port = static_cast<int>(strtol(at.c_str() + at.rfind(':') + 1, nullptr, 10));

  // The instance at its limit of one leaves the clients the kernel gives it queued.
  std::vector<std::unique_ptr<tcp_client>> served, queued;
  for (int i = 0; i < 24; ++i) {
    auto c = std::make_unique<tcp_client>(port);
    ASSERT_TRUE(c->connected());
    if (nothing_arrives(c->fd(), 200)) {
      queued.push_back(std::move(c));
    } else {
      ASSERT_TRUE(c->greeted());
      served.push_back(std::move(c));
    }
  }
  ASSERT_FALSE(queued.empty()) << "no client was queued: every one hashed to one instance";
  stopping.signal(SIGTERM);
  for (auto& c : queued) {
    EXPECT_TRUE(c->greeted()) << "a queued client is served by the instance that stays";
    EXPECT_EQ(c->echo("moved"), "MOVED");
    EXPECT_TRUE(c->finish());
  }
  for (auto& c : served) EXPECT_TRUE(c->finish());
  EXPECT_EQ(stopping.wait_exit(), 0);
  std::cout << queued.size() << " queued clients moved to the instance that stayed\n";
}

}  // namespace
