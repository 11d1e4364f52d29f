// The metrics endpoint of the real server: scraped by hand, by a hostile
// scraper, and, where Debian's prometheus package is installed, checked by
// promtool and scraped by a real Prometheus server.
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "server_process.h"
#include "tcp_client.h"
#include "unique_fd.h"

using namespace capecho_test;
using namespace std::chrono_literals;

namespace {

std::vector<std::string> metered_args(std::vector<std::string> extra) {
  extra.insert(extra.end(), {"--listen", "127.0.0.1:0", "--metrics", "127.0.0.1:0"});
  return extra;
}

struct metered_server {
  server_process server;
  int port = 0, metrics = 0;
  explicit metered_server(const std::vector<std::string>& extra = {})
      : server(metered_args(extra)) {
    metrics = port_after(server, "metrics on http://127.0.0.1:");
    port = server.port();
  }
};

TEST(MetricsEndpoint, CountsWhatHappened) {
  metered_server s({"--max-per-source", "1"});
  ASSERT_GT(s.metrics, 0) << s.server.log();
  ASSERT_GT(s.port, 0);
  tcp_client a(s.port);
  ASSERT_TRUE(a.greeted());
  tcp_client refused(s.port);
  EXPECT_TRUE(refused.closed_by_server());
  const std::string during = scrape(s.metrics);
  EXPECT_EQ(during.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << during;
  EXPECT_NE(during.find("Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"),
            std::string::npos);
  EXPECT_NE(during.find("\ncapecho_sessions_active 1\n"), std::string::npos) << during;
  EXPECT_NE(during.find("\ncapecho_connections_accepted_total 1\n"), std::string::npos);
  EXPECT_NE(during.find("\ncapecho_connections_refused_total{reason=\"per_source\"} 1\n"),
            std::string::npos);
  EXPECT_TRUE(eventually([&] {
    return scrape(s.metrics).find("\ncapecho_sessions_by_state{state=\"parked\"} 1\n") !=
           std::string::npos;
  })) << "a quiet client's session parks";
  EXPECT_NE(scrape(s.metrics).find("\ncapecho_sessions_by_state{state=\"serving\"} 0\n"),
            std::string::npos);
  EXPECT_EQ(a.echo("abc"), "ABC");
  EXPECT_TRUE(a.finish());
  EXPECT_TRUE(eventually([&] {
    const std::string after = scrape(s.metrics);
    return after.find("\ncapecho_session_duration_seconds_count 1\n") != std::string::npos &&
           after.find("\ncapecho_received_bytes_total 6\n") != std::string::npos &&
           after.find("\ncapecho_sent_bytes_total 12\n") != std::string::npos;
  })) << scrape(s.metrics);
  EXPECT_EQ(ask(s.metrics, "GET / HTTP/1.1\r\n\r\n").rfind("HTTP/1.0 404 Not Found\r\n", 0), 0u);

  server_process second(
      {"--listen", "127.0.0.1:0", "--metrics", "127.0.0.1:" + std::to_string(s.metrics)});
  EXPECT_EQ(second.wait_exit(), 1) << "the metrics port is not shared";
  EXPECT_NE(second.log().find("Address already in use"), std::string::npos) << second.log();
}

// Each way a session can end, as the client or the server makes it happen:
// the -v line and the counter name the same reason, and a FIN is no byte.
TEST(MetricsEndpoint, EachSessionSaysWhyItEnded) {
  metered_server s({"-v", "--idle-timeout", "1", "--max-connections", "1", "--overload-idle", "1",
                    "--shutdown-grace", "0"});
  ASSERT_GT(s.metrics, 0) << s.server.log();
  struct ending {
    const char* reason;
    const char* words;  // as the -v line ends
    std::function<void()> make_it_happen;
  };
  const ending endings[] = {
      {"terminator", " in 3 out 9, terminator\n",
       [&] {
         tcp_client c(s.port);
         EXPECT_TRUE(c.greeted() && c.finish());
       }},
      {"client_closed", " in 3 out 12, client closed\n",
       [&] {
         tcp_client c(s.port);
         EXPECT_TRUE(c.greeted());
         EXPECT_EQ(c.echo("abc"), "ABC");
         shutdown(c.fd(), SHUT_WR);  // its FIN takes a sequence number, not a byte
         EXPECT_TRUE(c.closed_by_server());
       }},
      {"client_reset", ", client reset\n",
       [&] {
         tcp_client c(s.port);
         EXPECT_TRUE(c.greeted());
         EXPECT_EQ(c.echo("x"), "X");
         c.reset();
       }},
      {"idle_timeout", " in 0 out 9, idle time-out\n",
       [&] {
         tcp_client c(s.port);
         EXPECT_TRUE(c.greeted());
         EXPECT_TRUE(c.closed_by_server());
       }},
      {"overload", ", overload protection\n",
       [&] {
         tcp_client idle(s.port);
         EXPECT_TRUE(idle.greeted());
         tcp_client waiting(s.port);  // at the limit: it waits, and the idle one makes room
         EXPECT_TRUE(idle.closed_by_server());
         EXPECT_TRUE(waiting.greeted() && waiting.finish());
       }},
  };
  for (const ending& e : endings) {
    const std::string counter =
        std::string("\ncapecho_sessions_ended_total{reason=\"") + e.reason + "\"} 1\n";
    e.make_it_happen();
    EXPECT_TRUE(s.server.wait_for_log(e.words)) << e.reason << "\n" << s.server.log();
    EXPECT_TRUE(eventually([&] { return scrape(s.metrics).find(counter) != std::string::npos; }))
        << e.reason << "\n"
        << scrape(s.metrics);
  }
  tcp_client held(s.port);
  ASSERT_TRUE(held.greeted());
  EXPECT_TRUE(eventually([&] {
    return scrape(s.metrics).find("\ncapecho_sessions_by_state{state=\"parked\"} 1\n") !=
           std::string::npos;
  }));
  s.server.signal(SIGTERM);
  EXPECT_EQ(s.server.wait_exit(), 0);
  EXPECT_NE(s.server.log().find(", server stopping\n"), std::string::npos) << s.server.log();
  EXPECT_EQ(s.server.log().find(", error\n"), std::string::npos) << s.server.log();
}

// Liveness and readiness as a probe sees them: both answer while serving
// (HEAD too); a drain turns readiness away at once while liveness holds.
TEST(MetricsEndpoint, HealthAndReadinessTillTheDrainEnds) {
  metered_server s({"--drain-delay", "30"});
  ASSERT_GT(s.metrics, 0) << s.server.log();
  ASSERT_GT(s.port, 0);
  tcp_client held(s.port);
  ASSERT_TRUE(held.greeted());
  for (const char* path : {"/healthz", "/readyz"}) {
    const std::string get = ask(s.metrics, std::string("GET ") + path + " HTTP/1.1\r\n\r\n");
    EXPECT_EQ(get.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << path << get;
    EXPECT_EQ(get.substr(get.size() - 7), "\r\n\r\nok\n") << path << get;
    const std::string head = ask(s.metrics, std::string("HEAD ") + path + " HTTP/1.1\r\n\r\n");
    EXPECT_EQ(head, get.substr(0, get.size() - 3)) << path;
  }
  const std::string head = ask(s.metrics, "HEAD /metrics HTTP/1.1\r\n\r\n");
  EXPECT_EQ(head.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << head;
  EXPECT_EQ(head.substr(head.size() - 4), "\r\n\r\n") << "no body";
  const std::string text = scrape(s.metrics);
  const std::string build_info =
      std::string("\ncapecho_build_info{version=\"") + CAPECHO_TEST_VERSION + "\"} 1\n";
  for (const std::string& family :
       {std::string("\nprocess_cpu_seconds_total "),
        std::string("\nprocess_resident_memory_bytes "), std::string("\nprocess_open_fds "),
        std::string("\nprocess_max_fds "), std::string("\nprocess_start_time_seconds "),
        build_info})
    EXPECT_NE(text.find(family), std::string::npos) << family << text;

  s.server.signal(SIGTERM);
  ASSERT_TRUE(s.server.wait_for_log("draining")) << s.server.log();
  EXPECT_EQ(ask(s.metrics, "GET /readyz HTTP/1.1\r\n\r\n").rfind("HTTP/1.0 503 ", 0), 0u);
  EXPECT_EQ(ask(s.metrics, "GET /healthz HTTP/1.1\r\n\r\n").rfind("HTTP/1.0 200 OK", 0), 0u)
      << "a draining server is alive";
  EXPECT_EQ(held.echo("still"), "STILL");
  s.server.signal(SIGTERM);  // a second request ends the drain
  EXPECT_EQ(s.server.wait_exit(), 0) << s.server.log();
}

TEST(MetricsEndpoint, ASlowOrHostileScraperStallsNoSession) {
  metered_server s;
  ASSERT_GT(s.metrics, 0) << s.server.log();
  tcp_client silent(s.metrics);  // connects and never asks
  ASSERT_TRUE(silent.connected());
  tcp_client c(s.port);
  EXPECT_TRUE(c.greeted());
  EXPECT_EQ(c.echo("unhindered"), "UNHINDERED");
  EXPECT_TRUE(nothing_arrives(silent.fd(), 0)) << "served while the scraper still holds on";
  EXPECT_TRUE(silent.closed_by_server()) << "dropped at its deadline";
  EXPECT_EQ(ask(s.metrics, std::string(8192, 'G')), "") << "too long a request gets no answer";
  EXPECT_EQ(scrape(s.metrics).rfind("HTTP/1.0 200 OK", 0), 0u) << "and the next is served";
}

bool installed(const char* path) { return access(path, X_OK) == 0; }

TEST(MetricsEndpoint, PromtoolAndARealPrometheusAcceptIt) {
  if (!installed("/usr/bin/promtool") || !installed("/usr/bin/prometheus"))
    GTEST_SKIP() << "Debian's prometheus package is not installed";
  metered_server s;
  ASSERT_GT(s.metrics, 0) << s.server.log();
  tcp_client held(s.port);
  ASSERT_TRUE(held.greeted());

  char dir[] = "/tmp/capecho-prometheus-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string text = scrape(s.metrics);
  const std::string body = text.substr(text.find("\r\n\r\n") + 4);
  std::ofstream(std::string(dir) + "/metrics.txt") << body;
  EXPECT_EQ(
      system(("/usr/bin/promtool check metrics < " + std::string(dir) + "/metrics.txt").c_str()),
      0);

  std::ofstream(std::string(dir) + "/prometheus.yml")
      << "global: {scrape_interval: 1s}\n"
         "scrape_configs:\n"
         "  - job_name: capecho\n"
         "    static_configs: [{targets: ['127.0.0.1:"
      << s.metrics << "']}]\n";
  spawn_setup real;
  real.program = "/usr/bin/prometheus";
  server_process prometheus(
      {"--config.file=" + std::string(dir) + "/prometheus.yml",
       "--storage.tsdb.path=" + std::string(dir) + "/data", "--web.listen-address=127.0.0.1:0"},
      real);
  // Port 0 is not printed back, so the address is read from what it listens on.
  ASSERT_TRUE(prometheus.wait_for_log("Server is ready to receive web requests", 30s))
      << prometheus.log();
  const std::string marker = "address=127.0.0.1:";
  const size_t at = prometheus.log().rfind(marker);
  ASSERT_NE(at, std::string::npos) << prometheus.log();
  const int api =
      static_cast<int>(std::strtol(prometheus.log().c_str() + at + marker.size(), nullptr, 10));
  ASSERT_GT(api, 0) << prometheus.log();
  std::string answer;
  EXPECT_TRUE(eventually(
      [&] {
        answer = ask(api, "GET /api/v1/query?query=capecho_sessions_active HTTP/1.0\r\n\r\n");
        return answer.find(R"("__name__":"capecho_sessions_active")") != std::string::npos &&
               answer.find(R"("1"])") != std::string::npos;
      },
      20s))
      << answer << prometheus.log();
  EXPECT_EQ(system(("rm -rf " + std::string(dir)).c_str()), 0);
}

}  // namespace
