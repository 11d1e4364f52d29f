// Every line the server logs, one function per event: the wording of all of
// them lives in events.cpp. None of these may be called with the server's
// lock held; all of them return at once (see log.h).
#ifndef CAPECHO_SERVER_EVENTS_H
#define CAPECHO_SERVER_EVENTS_H

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "end_reason.h"
#include "failure.h"

namespace capecho {

struct server_status {
  size_t sessions = 0;
  unsigned limit = 0;
  unsigned peak = 0;
  unsigned long long served = 0;
  unsigned long long limit_hits = 0;
  unsigned long long overload_ended = 0;
  unsigned long long log_dropped = 0;
};

// A short summary for the service manager's status line.
std::string status_summary(const server_status& s);

// What the log writer says after it had to drop lines; returns its length.
size_t describe_lines_dropped(char* buf, size_t capacity, unsigned long long dropped);

// What it says when the journal's socket refuses an entry; returns its length.
size_t describe_journal_refused(char* buf, size_t capacity, const char* call, int err,
                                unsigned long long fallbacks);

// The text of a failure: "CALL: REASON" for a failed call, else what is
// wrong with the input. format_failure writes it as snprintf does, with no
// allocation, and returns its whole length.
int format_failure(char* buf, size_t capacity, const failure& why);
std::string failure_text(const failure& why);

// A usage error: the failure, behind the option it concerns (its long name),
// when there is one.
std::string usage_error_text(const failure& why, const char* option);

// Start-up and usage.
void log_usage_error(const failure& why, const char* option);
void log_start_failure(const failure& why);
void log_start_failure(const char* context, const failure& why);  // "CONTEXT: ..."
void log_log_thread_failed(const failure& why);
void log_notify_socket_unusable(const failure& why);
void log_cannot_listen(const std::string& name, const failure& why);
void log_listening(const std::string& name);
void log_family_missing(const std::string& name, int err);
void log_metrics_listening(const std::string& name);
void log_listen_pid_elsewhere(const char* listen_pid);
void log_descriptor_limit_kept(int err);
void log_descriptors_short(unsigned max_connections, unsigned long long needed,
                           unsigned long long limit, unsigned long long room);
void log_workers_for_descriptors(unsigned long long limit, unsigned workers, unsigned asked);
void log_stdio_unusable(const failure& why);

// Accepting.
void log_connection_limit(unsigned limit, unsigned suppressed);
void log_call_failed(const char* call, int err, unsigned suppressed);
void log_metrics_endpoint_stopped(const char* call, int err);
void log_accept_failed(const std::string& listener, int err, unsigned suppressed);
void log_no_worker(const char* call, int err, unsigned suppressed);
void log_malloc_arenas_kept();
void log_frames_lost(unsigned suppressed);
void log_session_unwatched(int err, unsigned suppressed);
void log_out_of_memory(unsigned suppressed);
void log_source_refused(const char* peer, unsigned limit, unsigned suppressed);
void log_overload_ended(unsigned long long ended, unsigned long long total);
void log_untrusted_proxy(const char* peer, unsigned suppressed);
void log_proxy_header_failed(const char* peer, const failure& why, unsigned suppressed);
void log_proxy_header_late(const char* peer, unsigned seconds, unsigned suppressed);

// Sessions.
bool session_lines_wanted();
struct session_summary {
  const char* peer = "";
  const char* via = "";  // the balancer that passed the client on, or ""
  double seconds = 0;
  bool counted = false;  // the byte counts are known (TCP)
  uint64_t received = 0;
  uint64_t sent = 0;
  end_reason why = end_reason::error;
};
void log_session(const session_summary& s);

// Signals and stopping.
void log_signal(const char* name);
void log_signal_ignored(const char* name);
void log_status(const server_status& s);
void log_draining(unsigned delay);
void log_stopping(unsigned grace, size_t sessions);
void log_ending_sessions(size_t sessions);
void log_stopped(const server_status& s);

}  // namespace capecho

#endif  // CAPECHO_SERVER_EVENTS_H
