// The metrics text, the endpoint's answers, and its thread's life, against the host library.
#include <dirent.h>
#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "listeners.h"
#include "metrics.h"
#include "metrics_endpoint.h"

using namespace capecho;

namespace {

TEST(Metrics, EveryFamilyIsDescribedTypedAndNamedByConvention) {
  server_counters c;
  c.count(c.accepted, 3);
  c.count(c.refused_per_source);
  c.count(c.untrusted_proxy, 4);
  c.count(c.proxy_malformed, 5);
  c.count(c.proxy_timeout, 6);
  c.count(c.proxy_closed, 8);
  c.count(c.health_checks, 9);
  c.count(c.health_checks_failed, 10);
  c.session_ended(0.0005, 100, 109, end_reason::terminator);
  c.session_ended(1.0, 10, 19, end_reason::terminator);   // a bound counts in its own bucket
  c.session_ended(7200, 1, 1, end_reason::idle_timeout);  // beyond the last bound: +Inf only
  const std::string text = render_metrics(c, {2, 1024, 5, 2, 3, 7, 1700000000.5, {4, 11, 12, 13}});
  std::istringstream lines(text);
  std::string line, family, type;
  int families = 0;
  for (int n = 0; std::getline(lines, line); ++n) {
    std::smatch m;
    if (std::regex_match(line, m, std::regex("# HELP (capecho_[a-z_]+) .+"))) {
      family = m[1];
      ++families;
    } else if (std::regex_match(line, m, std::regex("# TYPE (capecho_[a-z_]+) (\\w+)"))) {
      EXPECT_EQ(m[1], family) << line;
      type = m[2];
      if (type == "counter") {
        EXPECT_TRUE(family.ends_with("_total")) << family;
      }
    } else {
      EXPECT_TRUE(line.rfind(family, 0) == 0) << line << " outside " << family;
      EXPECT_TRUE(std::regex_match(line, std::regex(R"([a-z_]+(\{[a-z_]+="[^"]+"\})? [-0-9.e+]+)")))
          << line;
    }
  }
  EXPECT_GE(families, 12);
  EXPECT_NE(text.find("capecho_session_duration_seconds_bucket{le=\"0.1\"} 1\n"),
            std::string::npos);
  for (const char* sample : {"capecho_sessions_active 2\n",
                             "capecho_sessions_limit 1024\n",
                             "capecho_connections_accepted_total 3\n",
                             "capecho_connections_refused_total{reason=\"per_source\"} 1\n",
                             "capecho_connections_refused_total{reason=\"untrusted_proxy\"} 4\n",
                             "capecho_proxy_header_failures_total{reason=\"malformed\"} 5\n",
                             "capecho_proxy_header_failures_total{reason=\"timeout\"} 6\n",
                             "capecho_proxy_header_failures_total{reason=\"closed\"} 8\n",
                             "capecho_health_checks_total{result=\"served\"} 9\n",
                             "capecho_health_checks_total{result=\"turned_away\"} 10\n",
                             "capecho_received_bytes_total 111\n",
                             "capecho_sent_bytes_total 129\n",
                             "capecho_session_duration_seconds_bucket{le=\"0.001\"} 1\n",
                             "capecho_session_duration_seconds_bucket{le=\"1\"} 2\n",
                             "capecho_session_duration_seconds_bucket{le=\"3600\"} 2\n",
                             "capecho_session_duration_seconds_bucket{le=\"+Inf\"} 3\n",
                             "capecho_session_duration_seconds_count 3\n",
                             "capecho_session_duration_seconds_sum 7201.0005\n",
                             "capecho_worker_threads{state=\"parked\"} 5\n",
                             "capecho_sessions_parked 3\n",
                             "capecho_sessions_by_state{state=\"reading_header\"} 4\n",
                             "capecho_sessions_by_state{state=\"ending\"} 13\n",
                             "capecho_log_lines_dropped_total 7\n",
                             "capecho_sessions_ended_total{reason=\"terminator\"} 2\n",
                             "capecho_sessions_ended_total{reason=\"idle_timeout\"} 1\n",
                             "capecho_sessions_ended_total{reason=\"error\"} 0\n",
                             "capecho_start_time_seconds 1700000000.5\n"})
    EXPECT_NE(text.find(sample), std::string::npos) << sample << text;
}

TEST(MetricsEndpoint, AnswersGetMetricsAndNothingElse) {
  int renders = 0;
  const auto render = [&renders] {
    ++renders;
    return std::string("capecho_x 1\n");
  };
  const std::string ok = metrics_response("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", render);
  EXPECT_EQ(ok,
            "HTTP/1.0 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
            "Content-Length: 12\r\nConnection: close\r\n\r\ncapecho_x 1\n");
  EXPECT_EQ(metrics_response("GET /metrics?x=1 HTTP/1.0\n\n", render).rfind("HTTP/1.0 200 OK", 0),
            0u);
  for (const char* other :
       {"GET / HTTP/1.1\r\n\r\n", "GET /metricsx HTTP/1.1\r\n\r\n",
        "POST /metrics HTTP/1.1\r\n\r\n", "HEAD /metrics HTTP/1.1\r\n\r\n", "garbage\r\n\r\n"})
    EXPECT_EQ(metrics_response(other, render).rfind("HTTP/1.0 404 Not Found\r\n", 0), 0u) << other;
  EXPECT_EQ(renders, 2) << "nothing is rendered for a 404";
}

size_t threads_in_process() {
  DIR* d = opendir("/proc/self/task");
  if (d == nullptr) return 0;
  size_t n = 0;
  // cppcheck-suppress readdirCalled
  while (const dirent* e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n;
}

// What one connection to `at` is answered with; "refused" when nothing listens.
std::string ask(const endpoint& at, const std::string& request) {
  const unique_fd c(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (connect(c.get(), at.addr(), at.length) != 0)
    return errno == ECONNREFUSED ? "refused" : "connect failed";
  if (send(c.get(), request.data(), request.size(), MSG_NOSIGNAL) < 0) return "send failed";
  std::string got;
  char buf[512];
  for (ssize_t n; (n = recv(c.get(), buf, sizeof buf, 0)) > 0;)
    got.append(buf, static_cast<size_t>(n));
  return got;
}

// Its own thread answers until the endpoint is destroyed; then the thread is
// gone and the port closed. One never started is destroyed without a wait.
TEST(MetricsEndpoint, AnswersOnItsOwnThreadUntilDestroyed) {
  // The first thread created starts ThreadSanitizer's own: one is made and
  // joined first, so that the count below moves with the endpoint's alone.
  std::thread([] {}).join();
  const size_t before = threads_in_process();
  ASSERT_GT(before, 0u);
  failure why;
  endpoint at;
  ASSERT_TRUE(parse_endpoint("127.0.0.1:0", at, why));
  unique_fd listener = open_listener(at, 8, false, why);
  ASSERT_TRUE(listener.valid()) << why.call;
  at.length = sizeof at.storage;
  ASSERT_EQ(getsockname(listener.get(), at.addr(), &at.length), 0);
  {
    metrics_endpoint endpoint(std::move(listener), [] { return std::string("capecho_x 1\n"); });
    ASSERT_TRUE(endpoint.start(why)) << why.call;
    EXPECT_EQ(threads_in_process(), before + 1);
    const std::string answer = ask(at, "GET /metrics HTTP/1.0\r\n\r\n");
    EXPECT_EQ(answer.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << answer;
    EXPECT_EQ(answer.substr(answer.size() - 12), "capecho_x 1\n");
  }
  // The joined thread may linger in the kernel's list for a moment.
  for (int i = 0; i < 1000 && threads_in_process() != before; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(threads_in_process(), before);
  EXPECT_EQ(ask(at, "GET /metrics HTTP/1.0\r\n\r\n"), "refused");

  {
    metrics_endpoint never_started(unique_fd(), [] { return std::string(); });
  }
  EXPECT_EQ(threads_in_process(), before);
}

}  // namespace
