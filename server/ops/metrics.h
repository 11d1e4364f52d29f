// What the server counts for its metrics endpoint, and the Prometheus text
// exposition (version 0.0.4) of it. Counters are relaxed atomics: the hot
// path pays an uncontended add, never a lock.
#ifndef CAPECHO_SERVER_METRICS_H
#define CAPECHO_SERVER_METRICS_H

#include <stddef.h>
#include <stdint.h>

#include <array>
#include <atomic>
#include <string>

#include "end_reason.h"
#include "process_stats.h"

namespace capecho {

// Upper bounds of the session duration histogram, in seconds.
inline constexpr std::array<double, 9> duration_buckets = {0.001, 0.01, 0.1, 1,   10,
                                                           60,    300,  900, 3600};

struct server_counters {
  std::atomic<uint64_t> accepted{0};
  std::atomic<uint64_t> refused_per_source{0};
  std::atomic<uint64_t> limit_reached{0};
  std::atomic<uint64_t> ended_by_overload{0};
  std::atomic<uint64_t> ended_by_stop{0};
  std::atomic<uint64_t> accept_errors{0};
  std::atomic<uint64_t> thread_failures{0};
  std::atomic<uint64_t> memory_failures{0};
  std::atomic<uint64_t> untrusted_proxy{0};
  std::atomic<uint64_t> proxy_malformed{0};
  std::atomic<uint64_t> proxy_timeout{0};
  std::atomic<uint64_t> proxy_closed{0};
  std::atomic<uint64_t> health_checks{0};
  std::atomic<uint64_t> health_checks_failed{0};  // turned away while draining
  std::atomic<uint64_t> completed{0};
  std::atomic<uint64_t> received_bytes{0};
  std::atomic<uint64_t> sent_bytes{0};
  std::array<std::atomic<uint64_t>, duration_buckets.size()> duration_le{};  // not cumulative
  std::atomic<uint64_t> duration_micros{0};
  std::array<std::atomic<uint64_t>, end_reasons> ended_because{};

  void count(std::atomic<uint64_t>& c, uint64_t n = 1) {
    c.fetch_add(n, std::memory_order_relaxed);
  }
  void session_ended(double seconds, uint64_t received, uint64_t sent, end_reason why);
};

// The figures that are read, not counted, when the endpoint is scraped.
struct server_gauges {
  size_t sessions = 0;
  unsigned limit = 0;
  size_t workers_parked = 0;
  size_t workers_busy = 0;
  size_t sessions_parked = 0;  // waiting for their client without a thread
  unsigned long long log_lines_dropped = 0;
  double start_time_seconds = 0;  // since the Unix epoch
  // What the sessions on the workers are doing.
  struct {
    size_t reading_header = 0, serving = 0, parked = 0, ending = 0;
  } by_state;
  const char* version = "unknown";  // for capecho_build_info
  size_t sessions_solo = 0;         // alone on a worker, served by blocking calls
};

std::string render_metrics(const server_counters& c, const server_gauges& g,
                           const process_stats& p = {});

}  // namespace capecho

#endif  // CAPECHO_SERVER_METRICS_H
