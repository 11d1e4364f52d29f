#include "metrics.h"

#include <stdio.h>

namespace capecho {
namespace {

uint64_t read(const std::atomic<uint64_t>& c) { return c.load(std::memory_order_relaxed); }

class exposition {
 public:
  void family(const char* name, const char* type, const char* help) {
    text_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  }
  void sample(const std::string& name, double value) {
    char number[48];
    (void)snprintf(number, sizeof number, "%.15g", value);
    text_ += name + " " + number + "\n";
  }
  void sample(const std::string& name, uint64_t value) {
    text_ += name + " " + std::to_string(value) + "\n";
  }
  void counter(const char* name, const char* help, uint64_t value) {
    family(name, "counter", help);
    sample(name, value);
  }
  void gauge(const char* name, const char* help, double value) {
    family(name, "gauge", help);
    sample(name, value);
  }
  std::string take() { return std::move(text_); }

 private:
  std::string text_;
};

std::string bound(double le) {
  char text[32];
  (void)snprintf(text, sizeof text, "%g", le);
  return text;
}

}  // namespace

void server_counters::session_ended(double seconds, uint64_t received, uint64_t sent,
                                    end_reason why) {
  count(completed);
  count(ended_because[static_cast<size_t>(why)]);
  count(received_bytes, received);
  count(sent_bytes, sent);
  count(duration_micros, static_cast<uint64_t>(seconds * 1e6));
  for (size_t i = 0; i < duration_buckets.size(); ++i) {
    if (seconds <= duration_buckets[i]) {
      count(duration_le[i]);
      return;
    }
  }
}

std::string render_metrics(const server_counters& c, const server_gauges& g,
                           const process_stats& p) {
  exposition out;
  // Named, typed and described as every Prometheus client library does.
  if (p.cpu_seconds >= 0) {
    out.family("process_cpu_seconds_total", "counter",
               "Total user and system CPU time spent in seconds.");
    out.sample("process_cpu_seconds_total", p.cpu_seconds);
  }
  if (p.open_fds >= 0)
    out.gauge("process_open_fds", "Number of open file descriptors.", p.open_fds);
  if (p.max_fds >= 0)
    out.gauge("process_max_fds", "Maximum number of open file descriptors.", p.max_fds);
  if (p.resident_bytes >= 0)
    out.gauge("process_resident_memory_bytes", "Resident memory size in bytes.", p.resident_bytes);
  if (p.start_time_seconds >= 0)
    out.gauge("process_start_time_seconds",
              "Start time of the process since unix epoch in seconds.", p.start_time_seconds);
  out.family("capecho_build_info", "gauge",
             "A metric with a constant '1' value labeled by the version capecho-server was "
             "built from.");
  out.sample(std::string("capecho_build_info{version=\"") + g.version + "\"}", uint64_t{1});
  out.gauge("capecho_sessions_active", "Sessions being served now.",
            static_cast<double>(g.sessions));
  out.gauge("capecho_sessions_limit", "Sessions served at once at most (--max-connections).",
            g.limit);
  out.counter("capecho_connections_accepted_total", "Connections accepted and served.",
              read(c.accepted));
  out.family("capecho_connections_refused_total", "counter",
             "Connections accepted and closed at once, by reason.");
  out.sample(R"(capecho_connections_refused_total{reason="per_source"})",
             read(c.refused_per_source));
  out.sample(R"(capecho_connections_refused_total{reason="memory"})", read(c.memory_failures));
  out.sample(R"(capecho_connections_refused_total{reason="untrusted_proxy"})",
             read(c.untrusted_proxy));
  out.family("capecho_proxy_header_failures_total", "counter",
             "Connections closed because their PROXY header was not valid and whole in time.");
  out.sample(R"(capecho_proxy_header_failures_total{reason="malformed"})", read(c.proxy_malformed));
  out.sample(R"(capecho_proxy_header_failures_total{reason="timeout"})", read(c.proxy_timeout));
  out.sample(R"(capecho_proxy_header_failures_total{reason="closed"})", read(c.proxy_closed));
  out.family("capecho_health_checks_total", "counter",
             "Connections a load balancer opened for itself (PROXY v2 LOCAL), unlogged: served, "
             "or turned away while draining before a stop.");
  out.sample(R"(capecho_health_checks_total{result="served"})", read(c.health_checks));
  out.sample(R"(capecho_health_checks_total{result="turned_away"})", read(c.health_checks_failed));
  out.counter("capecho_connection_limit_reached_total",
              "Times every slot was taken and new clients had to wait in the backlog.",
              read(c.limit_reached));
  out.family("capecho_accept_pauses_total", "counter",
             "Times accepting paused for want of a resource, by resource.");
  out.sample(R"(capecho_accept_pauses_total{reason="thread"})", read(c.thread_failures));
  out.sample(R"(capecho_accept_pauses_total{reason="accept_error"})", read(c.accept_errors));
  out.family("capecho_sessions_ended_by_server_total", "counter",
             "Sessions the server ended before the client did, by reason.");
  out.sample(R"(capecho_sessions_ended_by_server_total{reason="overload_protection"})",
             read(c.ended_by_overload));
  out.sample(R"(capecho_sessions_ended_by_server_total{reason="stop"})", read(c.ended_by_stop));
  out.family("capecho_sessions_ended_total", "counter",
             "Sessions ended, by why: the client's terminator, the client closed or reset, "
             "the idle time-out, overload protection, the stop, or another failure.");
  for (size_t i = 0; i < end_reasons; ++i)
    out.sample(std::string(R"(capecho_sessions_ended_total{reason=")") +
                   end_reason_name(static_cast<end_reason>(i)) + "\"}",
               read(c.ended_because[i]));
  out.counter("capecho_received_bytes_total", "Bytes received from clients in ended sessions.",
              read(c.received_bytes));
  out.counter("capecho_sent_bytes_total",
              "Bytes sent to and acknowledged by clients in ended sessions.", read(c.sent_bytes));
  out.family("capecho_session_duration_seconds", "histogram", "How long sessions lasted.");
  uint64_t cumulative = 0;
  for (size_t i = 0; i < duration_buckets.size(); ++i) {
    cumulative += read(c.duration_le[i]);
    out.sample(
        R"(capecho_session_duration_seconds_bucket{le=")" + bound(duration_buckets[i]) + "\"}",
        cumulative);
  }
  const uint64_t completed = read(c.completed);
  out.sample(R"(capecho_session_duration_seconds_bucket{le="+Inf"})", completed);
  out.sample("capecho_session_duration_seconds_sum",
             static_cast<double>(read(c.duration_micros)) / 1e6);
  out.sample("capecho_session_duration_seconds_count", completed);
  out.gauge("capecho_sessions_parked",
            "Sessions waiting for a quiet client without a thread of their own.",
            static_cast<double>(g.sessions_parked));
  out.gauge("capecho_sessions_solo",
            "Sessions alone on a worker of their own, served by blocking calls.",
            static_cast<double>(g.sessions_solo));
  out.family("capecho_sessions_by_state", "gauge",
             "Sessions on the workers, by what they are doing: reading a PROXY header, "
             "serving, parked waiting for their client without a thread, ending.");
  out.sample(R"(capecho_sessions_by_state{state="reading_header"})",
             uint64_t{g.by_state.reading_header});
  out.sample(R"(capecho_sessions_by_state{state="serving"})", uint64_t{g.by_state.serving});
  out.sample(R"(capecho_sessions_by_state{state="parked"})", uint64_t{g.by_state.parked});
  out.sample(R"(capecho_sessions_by_state{state="ending"})", uint64_t{g.by_state.ending});
  out.family("capecho_worker_threads", "gauge", "Session threads, by state.");
  out.sample(R"(capecho_worker_threads{state="busy"})", uint64_t{g.workers_busy});
  out.sample(R"(capecho_worker_threads{state="parked"})", uint64_t{g.workers_parked});
  out.counter("capecho_log_lines_dropped_total",
              "Log lines dropped because standard error took them too slowly.",
              g.log_lines_dropped);
  out.gauge("capecho_start_time_seconds", "When the server started, in seconds since the epoch.",
            g.start_time_seconds);
  return out.take();
}

}  // namespace capecho
