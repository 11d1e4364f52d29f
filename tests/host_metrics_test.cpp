// The metrics text, the endpoint's answers, and its thread's life, against the host library.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "listeners.h"
#include "metrics.h"
#include "metrics_endpoint.h"
#include "process_stats.h"

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
  server_gauges g{2, 1024, 5, 2, 3, 7, 1700000000.5, {4, 11, 12, 13}};
  g.version = "9.8.7";
  g.sessions_solo = 2;
  const std::string text = render_metrics(c, g, {12.5, 4096, 20, 1024, 1699999999.25});
  std::istringstream lines(text);
  std::string line, family, type;
  int families = 0;
  for (int n = 0; std::getline(lines, line); ++n) {
    std::smatch m;
    if (std::regex_match(line, m, std::regex("# HELP ((capecho|process)_[a-z_]+) .+"))) {
      family = m[1];
      ++families;
    } else if (std::regex_match(line, m, std::regex("# TYPE ((capecho|process)_[a-z_]+) (\\w+)"))) {
      EXPECT_EQ(m[1], family) << line;
      type = m[3];
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
                             "capecho_sessions_solo 2\n",
                             "capecho_sessions_by_state{state=\"reading_header\"} 4\n",
                             "capecho_sessions_by_state{state=\"ending\"} 13\n",
                             "capecho_log_lines_dropped_total 7\n",
                             "capecho_sessions_ended_total{reason=\"terminator\"} 2\n",
                             "capecho_sessions_ended_total{reason=\"idle_timeout\"} 1\n",
                             "capecho_sessions_ended_total{reason=\"error\"} 0\n",
                             "capecho_start_time_seconds 1700000000.5\n",
                             "capecho_build_info{version=\"9.8.7\"} 1\n",
                             "# TYPE process_cpu_seconds_total counter\n",
                             "process_cpu_seconds_total 12.5\n",
                             "process_resident_memory_bytes 4096\n",
                             "process_open_fds 20\n",
                             "process_max_fds 1024\n",
                             "process_start_time_seconds 1699999999.25\n"})
    EXPECT_NE(text.find(sample), std::string::npos) << sample << text;
  EXPECT_EQ(render_metrics(c, g).find("process_"), std::string::npos)
      << "a figure that could not be read is left out";
}

// The process's figures as the kernel reports them, against what this test
// process has: descriptors it opens are counted, one for one.
TEST(Metrics, ProcessFiguresAreThisProcesss) {
  const process_stats before = read_process_stats();
  std::vector<unique_fd> extra;
  for (int i = 0; i < 5; ++i) extra.emplace_back(open("/dev/null", O_RDONLY | O_CLOEXEC));
  const process_stats after = read_process_stats();
  EXPECT_GT(before.open_fds, 2);
  EXPECT_EQ(after.open_fds, before.open_fds + 5);
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  EXPECT_EQ(after.max_fds, static_cast<double>(limit.rlim_cur));
  EXPECT_GT(after.resident_bytes, 1 << 20);
  // The kernel's own report of the same count, give or take what moved
  // between the two reads.
  std::ifstream status("/proc/self/status");
  double vm_rss = 0;
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) vm_rss = std::stod(line.substr(6)) * 1024;
  EXPECT_NEAR(after.resident_bytes, vm_rss, vm_rss / 4);
  EXPECT_GE(after.cpu_seconds, 0);
  const double now = static_cast<double>(time(nullptr));
  EXPECT_LE(after.start_time_seconds, now + 1);
  EXPECT_GT(after.start_time_seconds, now - 3600) << "this test started within the hour";
}

TEST(MetricsEndpoint, AnswersItsThreePathsAndNothingElse) {
  int renders = 0;
  bool live = true, ready = true;
  const endpoint_answers answers{[&renders] {
                                   ++renders;
                                   return std::string("capecho_x 1\n");
                                 },
                                 [&live] { return live; }, [&ready] { return ready; }};
  const std::string ok = metrics_response("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", answers);
  EXPECT_EQ(ok,
            "HTTP/1.0 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
            "Content-Length: 12\r\nConnection: close\r\n\r\ncapecho_x 1\n");
  EXPECT_EQ(metrics_response("HEAD /metrics HTTP/1.1\r\n\r\n", answers),
            ok.substr(0, ok.size() - 12))
      << "HEAD: the same head, no body";
  EXPECT_EQ(metrics_response("GET /metrics?x=1 HTTP/1.0\n\n", answers).rfind("HTTP/1.0 200 OK", 0),
            0u);
  const std::string healthy =
      "HTTP/1.0 200 OK\r\nContent-Type: text/plain; charset=utf-8\r\n"
      "Content-Length: 3\r\nConnection: close\r\n\r\n";
  const struct {
    bool live, ready;
    const char* request;
    std::string answer;
  } table[] = {
      {true, true, "GET /healthz HTTP/1.1\r\n\r\n", healthy + "ok\n"},
      {true, true, "HEAD /healthz HTTP/1.1\r\n\r\n", healthy},
      {true, true, "GET /readyz?verbose HTTP/1.1\r\n\r\n", healthy + "ok\n"},
      {true, true, "HEAD /readyz HTTP/1.0\n\n", healthy},
      {false, true, "GET /healthz HTTP/1.1\r\n\r\n",
       "HTTP/1.0 503 Service Unavailable\r\nContent-Type: text/plain; charset=utf-8\r\n"
       "Content-Length: 18\r\nConnection: close\r\n\r\na worker is stuck\n"},
      {false, true, "GET /readyz HTTP/1.1\r\n\r\n", healthy + "ok\n"},
      {true, false, "GET /healthz HTTP/1.1\r\n\r\n", healthy + "ok\n"},
      {true, false, "HEAD /readyz HTTP/1.1\r\n\r\n",
       "HTTP/1.0 503 Service Unavailable\r\nContent-Type: text/plain; charset=utf-8\r\n"
       "Content-Length: 14\r\nConnection: close\r\n\r\n"},
  };
  for (const auto& row : table) {
    live = row.live;
    ready = row.ready;
    EXPECT_EQ(metrics_response(row.request, answers), row.answer) << row.request;
  }
  for (const char* other : {"POST /metrics HTTP/1.1\r\n\r\n", "DELETE /healthz HTTP/1.1\r\n\r\n"})
    EXPECT_EQ(metrics_response(other, answers)
                  .rfind("HTTP/1.0 405 Method Not Allowed\r\nContent-Type: text/plain; "
                         "charset=utf-8\r\nContent-Length: 17\r\nAllow: GET, HEAD\r\n",
                         0),
              0u)
        << other;
  for (const char* other : {"GET / HTTP/1.1\r\n\r\n", "GET /metricsx HTTP/1.1\r\n\r\n",
                            "GET /healthz/x HTTP/1.1\r\n\r\n", "GET /metrics", "garbage\r\n\r\n"})
    EXPECT_EQ(metrics_response(other, answers).rfind("HTTP/1.0 404 Not Found\r\n", 0), 0u) << other;
  EXPECT_EQ(renders, 3) << "nothing is rendered for a health check, a 404 or a 405";
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
    metrics_endpoint endpoint(std::move(listener), {[] { return std::string("capecho_x 1\n"); },
                                                    [] { return true; }, [] { return true; }});
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

  { metrics_endpoint never_started(unique_fd(), {}); }
  EXPECT_EQ(threads_in_process(), before);
}

}  // namespace
