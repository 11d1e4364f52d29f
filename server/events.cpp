#include "events.h"

#include <stdio.h>
#include <string.h>

#include "log.h"

namespace capecho {
namespace {

const char* plural(unsigned long long n, const char* one, const char* many) {
  return n == 1 ? one : many;
}

// No allocation: it also reports running out of memory.
struct held_back {
  explicit held_back(unsigned suppressed) {
    if (suppressed > 0) (void)snprintf(text, sizeof text, " (%u more like it)", suppressed);
  }
  const char* c_str() const { return text; }
  char text[40] = "";
};

}  // namespace

std::string status_summary(const server_status& s) {
  char text[160];
  (void)snprintf(text, sizeof text, "%zu %s (limit %u), %llu served", s.sessions,
                 plural(s.sessions, "session", "sessions"), s.limit, s.served);
  return text;
}

size_t describe_lines_dropped(char* buf, size_t capacity, unsigned long long dropped) {
  const int n = snprintf(buf, capacity, "%llu log %s dropped: standard error is too slow", dropped,
                         plural(dropped, "line", "lines"));
  return n < 0 ? 0 : std::min(static_cast<size_t>(n), capacity - 1);
}

void log_usage_error(const std::string& what) {
  log_line(log_level::error, "%s (see --help)", what.c_str());
}

void log_start_failure(const std::string& what) { log_line(log_level::error, "%s", what.c_str()); }

void log_cannot_listen(const std::string& what) {
  log_line(log_level::error, "cannot listen on %s", what.c_str());
}

void log_listening(const std::string& name) {
  log_line(log_level::note, "listening on %s", name.c_str());
}

void log_metrics_listening(const std::string& name) {
  log_line(log_level::note, "metrics on http://%s/metrics", name.c_str());
}

void log_listen_pid_elsewhere(const char* listen_pid) {
  log_line(log_level::note,
           "LISTEN_PID is %s, not this process: ignoring the inherited sockets, using --listen",
           listen_pid);
}

void log_descriptor_limit_kept(int err) {
  log_line(log_level::note, "setrlimit RLIMIT_NOFILE: %s; keeping the current descriptor limit",
           error_text(err).c_str());
}

void log_descriptors_short(unsigned max_connections, unsigned long long needed,
                           unsigned long long limit, unsigned long long room) {
  log_line(log_level::error,
           "--max-connections %u needs about %llu descriptors, but RLIMIT_NOFILE allows %llu: "
           "past about %llu sessions accepting fails with \"Too many open files\"; raise the "
           "limit (LimitNOFILE= for a service, ulimit -n where the server starts) or lower "
           "--max-connections",
           max_connections, needed, limit, room);
}

void log_stdio_unusable(const std::string& what) {
  log_line(log_level::error, "--stdio: %s", what.c_str());
}

void log_connection_limit(unsigned limit, unsigned suppressed) {
  log_line(log_level::note, "connection limit of %u reached; not accepting until a session ends%s",
           limit, held_back(suppressed).c_str());
}

void log_call_failed(const char* call, int err) {
  log_line(log_level::error, "%s: %s; retrying", call, error_text(err).c_str());
}

void log_accept_failed(const std::string& listener, int err, unsigned suppressed) {
  log_line(log_level::error, "accept on %s: %s; retrying%s", listener.c_str(),
           error_text(err).c_str(), held_back(suppressed).c_str());
}

void log_no_worker(const char* call, int err, unsigned suppressed) {
  char reason[128];
  log_line(log_level::error, "cannot start a thread (%s: %s); clients wait until one starts%s",
           call, strerror_r(err, reason, sizeof reason), held_back(suppressed).c_str());
}

void log_out_of_memory(unsigned suppressed) {
  log_line(log_level::error, "out of memory; not accepting for a moment%s",
           held_back(suppressed).c_str());
}

void log_source_refused(const std::string& peer, unsigned limit, unsigned suppressed) {
  log_line(log_level::note, "%s has %u %s already; connection closed%s", peer.c_str(), limit,
           plural(limit, "session", "sessions"), held_back(suppressed).c_str());
}

void log_overload_ended(unsigned long long ended, unsigned long long total) {
  log_line(log_level::note,
           "overload protection ended %llu idle %s to make room for waiting clients (%llu in all)",
           ended, plural(ended, "session", "sessions"), total);
}

void log_untrusted_proxy(const std::string& peer, unsigned suppressed) {
  log_line(log_level::note, "%s is not a trusted proxy (--trusted-proxy); connection closed%s",
           peer.c_str(), held_back(suppressed).c_str());
}

void log_proxy_header_failed(const std::string& peer, const std::string& why, unsigned suppressed) {
  log_line(log_level::note, "%s: no valid PROXY header: %s; connection closed%s", peer.c_str(),
           why.c_str(), held_back(suppressed).c_str());
}

bool session_lines_wanted() { return logging_enabled(log_level::detail); }

void log_session(const session_summary& s) {
  char counts[64] = "";
  if (s.counted)
    (void)snprintf(counts, sizeof counts, " in %llu out %llu",
                   static_cast<unsigned long long>(s.received),
                   static_cast<unsigned long long>(s.sent));
  log_line(log_level::detail, "session %s%s%s %.3fs%s", s.peer.c_str(),
           s.via.empty() ? "" : " via ", s.via.c_str(), s.seconds, counts);
}

void log_signal(const char* name) { log_line(log_level::note, "%s received", name); }

void log_signal_ignored(const char* name) {
  log_line(log_level::note, "%s received; ignored, there is no configuration to reload", name);
}

void log_status(const server_status& s) {
  log_line(log_level::error,
           "status: %zu %s (limit %u, peak %u), %llu served, limit reached %llu %s, %llu ended by "
           "overload protection, %llu log %s dropped",
           s.sessions, plural(s.sessions, "session", "sessions"), s.limit, s.peak, s.served,
           s.limit_hits, plural(s.limit_hits, "time", "times"), s.overload_ended, s.log_dropped,
           plural(s.log_dropped, "line", "lines"));
}

void log_draining(unsigned delay) {
  log_line(log_level::note,
           "draining: still accepting for %u s, turning away health checks, then stopping", delay);
}

void log_stopping(unsigned grace, size_t sessions) {
  log_line(log_level::note, "stopping: waiting up to %us for %zu %s to finish", grace, sessions,
           plural(sessions, "session", "sessions"));
}

void log_ending_sessions(size_t sessions) {
  log_line(log_level::note, "ending %zu %s", sessions, plural(sessions, "session", "sessions"));
}

void log_stopped(const server_status& s) {
  log_line(log_level::note, "stopped: %llu %s served, peak %u concurrent", s.served,
           plural(s.served, "session", "sessions"), s.peak);
}

}  // namespace capecho
