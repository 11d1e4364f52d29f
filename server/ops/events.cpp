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

// A piece of input for "%.*s".
struct piece {
  explicit piece(std::string_view s)
      : len(static_cast<int>(s.size())), data(s.data() != nullptr ? s.data() : "") {}
  int len;
  const char* data;
};

}  // namespace

int format_failure(char* buf, size_t capacity, const failure& why) {
  char reason[128] = "";
  const char* err = strerror_r(why.err, reason, sizeof reason);
  const piece in(why.input), bad(why.culprit);
  switch (why.refused) {
    case refusal::none:
      break;
    case refusal::not_host_port:
      return snprintf(buf, capacity, "'%.*s' is not HOST:PORT or [IPV6]:PORT", in.len, in.data);
    case refusal::port_out_of_range:
      return snprintf(buf, capacity, "'%.*s': port must be a number from 0 to 65535", in.len,
                      in.data);
    case refusal::ipv6_unbracketed:
      return snprintf(buf, capacity, "'%.*s': an IPv6 address goes in brackets, as [%.*s]:PORT",
                      in.len, in.data, bad.len, bad.data);
    case refusal::cannot_resolve:
      return snprintf(buf, capacity, "'%.*s': cannot resolve '%.*s': %s", in.len, in.data, bad.len,
                      bad.data, why.detail);
    case refusal::bracketed_not_ipv6:
      return snprintf(buf, capacity, "'%.*s': cannot resolve '%.*s': not a numeric IPv6 address",
                      in.len, in.data, bad.len, bad.data);
    case refusal::bracketed_not_scoped_ipv6:
      return snprintf(buf, capacity,
                      "'%.*s': cannot resolve '%.*s': not a numeric IPv6 address with the name or "
                      "number of an interface",
                      in.len, in.data, bad.len, bad.data);
    case refusal::ipv4_mapped:
      return snprintf(buf, capacity,
                      "'%.*s': an IPv4-mapped IPv6 address cannot be listened on; use the IPv4 "
                      "address itself",
                      in.len, in.data);
    case refusal::resolves_to_nothing:
      return snprintf(buf, capacity, "'%.*s': '%.*s' resolves to no IPv4 or IPv6 address", in.len,
                      in.data, bad.len, bad.data);
    case refusal::not_numeric_ipv4:
    case refusal::not_numeric_ipv6:
      return snprintf(buf, capacity, "'%.*s': '%.*s' is not a numeric %s address", in.len, in.data,
                      bad.len, bad.data,
                      why.refused == refusal::not_numeric_ipv4 ? "IPv4" : "IPv6");
    case refusal::unix_path_length:
      return snprintf(buf, capacity, "'%.*s': a socket path is 1 to %u bytes", in.len, in.data,
                      why.high);
    case refusal::unix_path_not_socket:
      return snprintf(buf, capacity, "'%.*s' exists and is not a socket; not replacing it", bad.len,
                      bad.data);
    case refusal::unix_path_in_use:
      return snprintf(buf, capacity, "another process listens on '%.*s'", bad.len, bad.data);
    case refusal::not_numeric_address:
      return snprintf(buf, capacity, "'%.*s': '%.*s' is not a numeric IPv4 or IPv6 address", in.len,
                      in.data, bad.len, bad.data);
    case refusal::prefix_out_of_range:
      return snprintf(buf, capacity, "'%.*s': the prefix length must be a number from %u to %u",
                      in.len, in.data, why.low, why.high);
    case refusal::not_a_number:
      return snprintf(buf, capacity, "'%.*s' is not a number from %u to %u", in.len, in.data,
                      why.low, why.high);
    case refusal::needs_argument:
      return snprintf(buf, capacity, "option '%.*s' needs an argument", in.len, in.data);
    case refusal::unknown_option:
      return snprintf(buf, capacity, "unknown option '%.*s'", in.len, in.data);
    case refusal::unexpected_argument:
      return snprintf(buf, capacity, "unexpected argument '%.*s'", in.len, in.data);
    case refusal::proxy_protocol_untrusted:
      return snprintf(
          buf, capacity, "%s",
          "--proxy-protocol needs --trusted-proxy: otherwise any client could forge its address");
    case refusal::trusted_proxy_alone:
      return snprintf(buf, capacity, "%s", "--trusted-proxy applies only with --proxy-protocol");
    case refusal::not_for_stdio:
      return snprintf(buf, capacity, "%.*s %s not apply to --stdio", in.len, in.data,
                      why.low == 1 ? "does" : "do");
    case refusal::not_log_format:
      return snprintf(buf, capacity, "'%.*s' is not text, json or logfmt", in.len, in.data);
    case refusal::not_yes_or_no:
      return snprintf(buf, capacity, "'%.*s' is not yes or no", in.len, in.data);
    case refusal::unknown_variable:
      return snprintf(buf, capacity, "%.*s names no option", bad.len, bad.data);
    case refusal::listen_fds_count:
      return snprintf(buf, capacity, "LISTEN_FDS: '%.*s' is not a number of descriptors", in.len,
                      in.data);
    case refusal::not_listening_stream:
      return snprintf(buf, capacity, "inherited descriptor %d is not a listening stream socket",
                      why.fd);
    case refusal::inherited_unusable:
      return snprintf(buf, capacity, "inherited descriptor %d: %s", why.fd, err);
    case refusal::notify_socket_path:
      return snprintf(buf, capacity, "'%.*s' is not a socket path or @name", in.len, in.data);
    case refusal::stdin_not_socket:
      return snprintf(buf, capacity, "standard input is not a socket (%s)", err);
    case refusal::stdin_not_stream:
      return snprintf(buf, capacity, "%s", "standard input is not a stream socket");
    case refusal::stdin_not_connected:
      return snprintf(buf, capacity, "standard input is not a connected socket (%s)", err);
    case refusal::proxy_header_invalid:
      return snprintf(buf, capacity, "%s", why.detail);
    case refusal::proxy_header_cut_short:
      return snprintf(buf, capacity, "%s", "end of stream");
  }
  return snprintf(buf, capacity, "%s: %s", why.call, err);
}

std::string failure_text(const failure& why) {
  const int len = format_failure(nullptr, 0, why);
  if (len <= 0) return "";
  std::string text(static_cast<size_t>(len), '\0');
  (void)format_failure(text.data(), text.size() + 1, why);  // the last byte: the terminator
  return text;
}

std::string usage_error_text(const failure& why, const char* option) {
  return option != nullptr ? "--" + std::string(option) + ": " + failure_text(why)
                           : failure_text(why);
}

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

size_t describe_journal_refused(char* buf, size_t capacity, const char* call, int err,
                                unsigned long long fallbacks) {
  char reason[128] = "";
  (void)format_failure(reason, sizeof reason, {.call = call, .err = err});
  const int n =
      snprintf(buf, capacity, "journal socket: %s; %llu log %s written to standard error instead",
               reason, fallbacks, plural(fallbacks, "event", "events"));
  return n < 0 ? 0 : std::min(static_cast<size_t>(n), capacity - 1);
}

void log_usage_error(const failure& why, const char* option) {
  const std::string text = usage_error_text(why, option);
  log_event(log_level::error, "usage_error", {{"option", option != nullptr ? option : ""}},
            "%s (see --help)", text.c_str());
}

void log_start_failure(const failure& why) {
  log_event(log_level::error, "start_failed", {{"call", why.call}}, "%s",
            failure_text(why).c_str());
}

void log_start_failure(const char* context, const failure& why) {
  log_event(log_level::error, "start_failed", {{"context", context}, {"call", why.call}}, "%s: %s",
            context, failure_text(why).c_str());
}

void log_log_thread_failed(const failure& why) {
  log_event(log_level::error, "log_thread_failed", {{"call", why.call}, {"errno", why.err}},
            "cannot start the log thread: %s", error_text(why.err).c_str());
}

void log_notify_socket_unusable(const failure& why) {
  log_event(log_level::error, "notify_socket_unusable", {{"call", why.call}}, "NOTIFY_SOCKET: %s",
            failure_text(why).c_str());
}

void log_cannot_listen(const std::string& name, const failure& why) {
  log_event(log_level::error, "cannot_listen", {{"address", name}, {"call", why.call}},
            "cannot listen on %s: %s", name.c_str(), failure_text(why).c_str());
}

void log_listening(const std::string& name) {
  log_event(log_level::note, "listening", {{"address", name}}, "listening on %s", name.c_str());
}

void log_family_missing(const std::string& name, int err) {
  log_event(log_level::note, "family_missing", {{"address", name}, {"errno", err}},
            "not listening on %s: %s on this system", name.c_str(), error_text(err).c_str());
}

void log_metrics_listening(const std::string& name) {
  log_event(log_level::note, "metrics_listening", {{"address", name}},
            "metrics on http://%s/metrics", name.c_str());
}

void log_listen_pid_elsewhere(const char* listen_pid) {
  log_event(log_level::note, "listen_pid_elsewhere", {{"listen_pid", listen_pid}},
            "LISTEN_PID is %s, not this process: ignoring the inherited sockets, using --listen",
            listen_pid);
}

void log_descriptor_limit_kept(int err) {
  log_event(log_level::note, "descriptor_limit_kept", {{"errno", err}},
            "setrlimit RLIMIT_NOFILE: %s; keeping the current descriptor limit",
            error_text(err).c_str());
}

void log_descriptors_short(unsigned max_connections, unsigned long long needed,
                           unsigned long long limit, unsigned long long room) {
  log_event(
      log_level::error, "descriptors_short",
      {{"max_connections", max_connections}, {"needed", needed}, {"limit", limit}, {"room", room}},
      "--max-connections %u needs about %llu descriptors, but RLIMIT_NOFILE allows %llu: "
      "past about %llu sessions accepting fails with \"Too many open files\"; raise the "
      "limit (LimitNOFILE= for a service, ulimit -n where the server starts) or lower "
      "--max-connections",
      max_connections, needed, limit, room);
}

void log_workers_for_descriptors(unsigned long long limit, unsigned workers, unsigned asked) {
  log_event(log_level::note, "workers_for_descriptors",
            {{"limit", limit}, {"workers", workers}, {"asked", asked}},
            "RLIMIT_NOFILE allows only %llu descriptors: running %u %s instead of %u, so that "
            "sessions have half of them",
            limit, workers, plural(workers, "worker", "workers"), asked);
}

void log_stdio_unusable(const failure& why) {
  log_event(log_level::error, "stdio_unusable", {{"call", why.call}}, "--stdio: %s",
            failure_text(why).c_str());
}

void log_connection_limit(unsigned limit, unsigned suppressed) {
  log_event(log_level::note, "connection_limit", {{"limit", limit}, {"suppressed", suppressed}},
            "connection limit of %u reached; not accepting until a session ends%s", limit,
            held_back(suppressed).c_str());
}

// From any thread, with nothing allocated: the failure may be for lack of memory.
void log_call_failed(const char* call, int err, unsigned suppressed) {
  char reason[128] = "";
  log_event(log_level::error, "call_failed",
            {{"call", call}, {"errno", err}, {"suppressed", suppressed}}, "%s: %s; retrying%s",
            call, strerror_r(err, reason, sizeof reason), held_back(suppressed).c_str());
}

void log_metrics_endpoint_stopped(const char* call, int err) {
  char reason[128] = "";
  log_event(log_level::error, "metrics_endpoint_stopped", {{"call", call}, {"errno", err}},
            "metrics endpoint stopped: %s: %s; /metrics, /healthz and /readyz go unanswered", call,
            strerror_r(err, reason, sizeof reason));
}

void log_accept_failed(const std::string& listener, int err, unsigned suppressed) {
  log_event(log_level::error, "accept_failed",
            {{"address", listener}, {"errno", err}, {"suppressed", suppressed}},
            "accept on %s: %s; retrying%s", listener.c_str(), error_text(err).c_str(),
            held_back(suppressed).c_str());
}

void log_no_worker(const char* call, int err, unsigned suppressed) {
  char reason[128] = "";
  log_event(log_level::error, "no_worker",
            {{"call", call}, {"errno", err}, {"suppressed", suppressed}},
            "cannot start a thread (%s: %s); clients wait until one starts%s", call,
            strerror_r(err, reason, sizeof reason), held_back(suppressed).c_str());
}

void log_malloc_arenas_kept() {
  log_event(log_level::note, "malloc_arenas_kept", {},
            "mallopt M_ARENA_MAX refused: each thread keeps a malloc arena of its own, which "
            "costs address space");
}

void log_frames_lost(unsigned suppressed) {
  log_event(log_level::error, "frames_lost", {{"suppressed", suppressed}},
            "out of memory for a parked session's frames; that session ended%s",
            held_back(suppressed).c_str());
}

void log_session_unwatched(int err, unsigned suppressed) {
  char reason[128] = "";
  log_event(log_level::error, "session_unwatched",
            {{"call", "epoll_ctl"}, {"errno", err}, {"suppressed", suppressed}},
            "epoll_ctl: %s; a session that could not be watched ended%s",
            strerror_r(err, reason, sizeof reason), held_back(suppressed).c_str());
}

void log_out_of_memory(unsigned suppressed) {
  log_event(log_level::error, "out_of_memory", {{"suppressed", suppressed}},
            "out of memory; not accepting for a moment%s", held_back(suppressed).c_str());
}

void log_source_refused(const char* peer, unsigned limit, unsigned suppressed) {
  log_event(log_level::note, "source_refused",
            {{"peer", peer}, {"limit", limit}, {"suppressed", suppressed}},
            "%s has %u %s already; connection closed%s", peer, limit,
            plural(limit, "session", "sessions"), held_back(suppressed).c_str());
}

void log_overload_ended(unsigned long long ended, unsigned long long total) {
  log_event(log_level::note, "overload_ended", {{"ended", ended}, {"total", total}},
            "overload protection ended %llu idle %s to make room for waiting clients (%llu in all)",
            ended, plural(ended, "session", "sessions"), total);
}

void log_untrusted_proxy(const char* peer, unsigned suppressed) {
  log_event(log_level::note, "untrusted_proxy", {{"peer", peer}, {"suppressed", suppressed}},
            "%s is not a trusted proxy (--trusted-proxy); connection closed%s", peer,
            held_back(suppressed).c_str());
}

void log_proxy_header_failed(const char* peer, const failure& why, unsigned suppressed) {
  char text[256];
  (void)format_failure(text, sizeof text, why);
  log_event(log_level::note, "proxy_header_failed",
            {{"peer", peer}, {"reason", text}, {"suppressed", suppressed}},
            "%s: no valid PROXY header: %s; connection closed%s", peer, text,
            held_back(suppressed).c_str());
}

void log_proxy_header_late(const char* peer, unsigned seconds, unsigned suppressed) {
  log_event(log_level::note, "proxy_header_late",
            {{"peer", peer}, {"seconds", seconds}, {"suppressed", suppressed}},
            "%s: no valid PROXY header: none whole within %u s; connection closed%s", peer, seconds,
            held_back(suppressed).c_str());
}

bool session_lines_wanted() { return logging_enabled(log_level::detail); }

void log_session(const session_summary& s) {
  char counts[64] = "";
  if (s.counted)
    (void)snprintf(counts, sizeof counts, " in %llu out %llu",
                   static_cast<unsigned long long>(s.received),
                   static_cast<unsigned long long>(s.sent));
  // Byte counts only where they are known (TCP): left out, not zero.
  log_event(log_level::detail, "session",
            {{"peer", s.peer},
             s.via[0] != '\0' ? log_field("via", s.via) : log_field::none("via"),
             {"seconds", s.seconds},
             {"ended", end_reason_name(s.why)},
             s.counted ? log_field("received", s.received) : log_field::none("received"),
             s.counted ? log_field("sent", s.sent) : log_field::none("sent")},
            "session %s%s%s %.3fs%s, %s", s.peer, s.via[0] == '\0' ? "" : " via ", s.via, s.seconds,
            counts, end_reason_words(s.why));
}

void log_signal(const char* name) {
  log_event(log_level::note, "signal", {{"signal", name}}, "%s received", name);
}

void log_signal_ignored(const char* name) {
  log_event(log_level::note, "signal_ignored", {{"signal", name}},
            "%s received; ignored, there is no configuration to reload", name);
}

void log_status(const server_status& s) {
  log_event(log_level::error, "status",
            {{"sessions", s.sessions},
             {"limit", s.limit},
             {"peak", s.peak},
             {"served", s.served},
             {"limit_reached", s.limit_hits},
             {"overload_ended", s.overload_ended},
             {"log_lines_dropped", s.log_dropped}},
            "status: %zu %s (limit %u, peak %u), %llu served, limit reached %llu %s, %llu ended by "
            "overload protection, %llu log %s dropped",
            s.sessions, plural(s.sessions, "session", "sessions"), s.limit, s.peak, s.served,
            s.limit_hits, plural(s.limit_hits, "time", "times"), s.overload_ended, s.log_dropped,
            plural(s.log_dropped, "line", "lines"));
}

void log_draining(unsigned delay) {
  log_event(log_level::note, "draining", {{"delay", delay}},
            "draining: still accepting for %u s, turning away health checks, then stopping", delay);
}

void log_stopping(unsigned grace, size_t sessions) {
  log_event(log_level::note, "stopping", {{"grace", grace}, {"sessions", sessions}},
            "stopping: waiting up to %us for %zu %s to finish", grace, sessions,
            plural(sessions, "session", "sessions"));
}

void log_ending_sessions(size_t sessions) {
  log_event(log_level::note, "ending_sessions", {{"sessions", sessions}}, "ending %zu %s", sessions,
            plural(sessions, "session", "sessions"));
}

void log_stopped(const server_status& s) {
  log_event(log_level::note, "stopped", {{"served", s.served}, {"peak", s.peak}},
            "stopped: %llu %s served, peak %u concurrent", s.served,
            plural(s.served, "session", "sessions"), s.peak);
}

}  // namespace capecho
