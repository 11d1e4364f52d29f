#include "host.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

#include "descriptor_budget.h"
#include "events.h"
#include "hosted_io.h"
#include "listen_family.h"
#include "listeners.h"
#include "malloc_arenas.h"
#include "metrics_endpoint.h"
#include "notify.h"
#include "options.h"
#include "process_stats.h"
#include "server.h"
#include "session.h"
#include "session_end.h"
#include "session_socket.h"
#include "signals.h"
#include "socket_file.h"
#include "unique_fd.h"

#ifndef CAPECHO_VERSION
#define CAPECHO_VERSION "unknown"
#endif

namespace capecho {
namespace {

constexpr int exit_runtime = 1;
constexpr int exit_usage = 2;

// How long the last log lines may take to reach a slow standard error.
constexpr auto log_flush_patience = std::chrono::seconds(1);

// How often the service manager hears how the server is doing.
constexpr auto status_interval = std::chrono::seconds(10);

// How long a busy worker may go without a new turn of its loop before it
// counts as stuck, when no watchdog sets the period: far beyond any turn of
// a working server, short against a liveness probe's failure threshold.
constexpr std::chrono::milliseconds progress_period_default = std::chrono::seconds(10);

// The watchdog's pet interval (half its time-out) when there is one.
std::chrono::milliseconds progress_period(const service_notifier& manager) {
  const auto pet = manager.watchdog_interval();
  return pet.count() > 0 ? pet : progress_period_default;
}

// Started with 0, 1 or 2 closed, the first connection accepted would take
// that number and receive whatever is printed there: fill them first.
bool open_standard_descriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int null = open("/dev/null", O_RDWR);  // the lowest free number: this one
    if (null != fd) return false;
  }
  return true;
}

// Thousands of sessions need thousands of descriptors: take what the hard
// limit allows.
void raise_descriptor_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    log_descriptor_limit_kept(errno);
    return;
  }
  if (limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0) log_descriptor_limit_kept(errno);
}

// Whether descriptor 0 can be served; false, saying why, when not.
bool stdio_usable(failure& why) {
  int type = 0;
  socklen_t len = sizeof type;
  if (getsockopt(STDIN_FILENO, SOL_SOCKET, SO_TYPE, &type, &len) != 0) {
    why = {.call = "getsockopt SO_TYPE", .err = errno, .refused = refusal::stdin_not_socket};
    return false;
  }
  if (type != SOCK_STREAM) {
    why = {.refused = refusal::stdin_not_stream};
    return false;
  }
  sockaddr_storage peer{};
  len = sizeof peer;
  if (getpeername(STDIN_FILENO, reinterpret_cast<sockaddr*>(&peer), &len) != 0) {
    why = {.call = "getpeername", .err = errno, .refused = refusal::stdin_not_connected};
    return false;
  }
  return true;
}

// Over the network a call blocks its thread at most park_after (see
// session.h); the idle time-out is the host's. On standard input the handler
// runs alone and the socket keeps the idle time-out itself.
session_socket_settings socket_settings(const server_options& o, bool networked) {
  return {o.idle_timeout, o.socket_buffer, o.keepalive,
          networked ? static_cast<unsigned>(park_after.count()) : 0};
}

// The -v line of the one session on standard input, as for any other.
void log_stdio_session(std::chrono::duration<double> took) {
  endpoint peer;
  peer.length = sizeof peer.storage;
  if (getpeername(STDIN_FILENO, peer.addr(), &peer.length) != 0) peer = endpoint{};
  const endpoint_name name = name_of(peer);
  session_summary summary;
  summary.peer = name.text;
  summary.seconds = took.count();
  summary.why = why_ended(last_plain_call(), host_ending::none);
  summary.counted =
      transfer_totals(STDIN_FILENO, summary.received, summary.sent,
                      summary.why != end_reason::client_reset && summary.why != end_reason::error);
  log_session(summary);
}

int serve_stdio(const server_options& options, void (*handler)(int)) {
  failure why;
  if (stdio_usable(why) &&
      prepare_session_socket(STDIN_FILENO, socket_settings(options, false), why)) {
    const auto start = std::chrono::steady_clock::now();
    handler(STDIN_FILENO);
    if (session_lines_wanted()) log_stdio_session(std::chrono::steady_clock::now() - start);
    return 0;
  }
  log_stdio_unusable(why);
  return exit_runtime;
}

// The settings every session needs, made once on each listener for the
// connections it accepts to inherit.
bool prepare_listeners(const server_options& options, std::vector<listener>& listeners) {
  for (listener& l : listeners) {
    failure why;
    if (is_unix_domain(l.fd.get())) l.per_connection = socket_settings(options, true);
    if (!prepare_session_socket(l.fd.get(), socket_settings(options, true), why)) {
      log_start_failure(l.name.c_str(), why);
      return false;
    }
  }
  return true;
}

// All or nothing: a listener that cannot be opened closes the others.
bool open_listeners(const server_options& options, std::vector<listener>& out, socket_files& made) {
  std::vector<unique_fd> inherited;
  failure why;
  if (!inherited_listeners(inherited, why)) {
    log_start_failure(why);
    return false;
  }
  for (unique_fd& fd : inherited) {
    std::string name = local_name(fd.get());
    out.push_back({std::move(fd), std::move(name), std::nullopt});
  }
  if (!out.empty()) return true;
  for (const endpoint& e : options.listen) {
    if (family_missing(e, options.listen)) continue;  // [::]:P on a system without IPv6
    unique_fd fd = open_listener(e, options.backlog, options.reuse_port, why);
    if (!fd.valid()) {
      log_cannot_listen(format_endpoint(e), why);
      out.clear();
      return false;
    }
    made.claim(e);
    std::string name = local_name(fd.get());
    out.push_back({std::move(fd), std::move(name), std::nullopt});
  }
  return true;
}

void act_on_signal(server& srv, const service_notifier& manager, int sig) {
  switch (action_for(sig)) {
    case signal_action::stop:
      log_signal(signal_name(sig));
      manager.send("STOPPING=1");
      srv.request_stop();
      break;
    case signal_action::stop_now:
      log_signal(signal_name(sig));
      manager.send("STOPPING=1");
      srv.request_stop_now();
      break;
    case signal_action::status:
      log_status(srv.status());
      break;
    case signal_action::ignore:
      log_signal_ignored(signal_name(sig));
      break;
  }
}

// Pets the watchdog from the accept loop, when asked for and while every
// worker makes progress, and sends a status line now and then.
void keep_manager_informed(server& srv, const service_notifier& manager) {
  if (!manager.active()) return;
  const auto pet = manager.watchdog_interval();
  auto next_status = std::chrono::steady_clock::now() + status_interval;
  srv.set_heartbeat(pet.count() > 0 ? pet : status_interval,
                    [&srv, &manager, pet, next_status]() mutable {
                      // Only while the workers serve, not the accept loop alone.
                      if (pet.count() > 0 && srv.workers_responsive(pet))
                        manager.send("WATCHDOG=1");
                      const auto now = std::chrono::steady_clock::now();
                      if (now < next_status) return;
                      next_status = now + status_interval;
                      manager.send("STATUS=" + status_summary(srv.status()));
                    });
}

// Answers GET /metrics, /healthz and /readyz on `at`, when --metrics asked
// for it. False, with the failed call, when it cannot start.
bool start_metrics(server& srv, std::chrono::milliseconds period, listener at,
                   std::unique_ptr<metrics_endpoint>& endpoint, failure& why) {
  if (!at.fd.valid()) return true;
  endpoint = std::make_unique<metrics_endpoint>(
      std::move(at.fd),
      endpoint_answers{
          [&srv] { return render_metrics(srv.counters(), srv.gauges(), read_process_stats()); },
          [&srv, period] { return srv.workers_responsive(period); },
          [&srv] { return srv.ready(); }});
  if (!endpoint->start(why)) return false;
  log_metrics_listening(at.name);
  return true;
}

int serve_listeners(const server_options& options, void (*handler)(int),
                    std::vector<listener> listeners, unique_fd wake,
                    const service_notifier& manager, listener metrics_at) {
  std::vector<std::string> names;
  names.reserve(listeners.size());
  for (const listener& l : listeners) names.push_back(l.name);
  server srv(options, handler, std::move(listeners), std::move(wake));
  failure why;
  // Those that cannot start are tried again before each accept: clients
  // wait in the backlog meanwhile.
  (void)srv.start_workers(why);
  keep_manager_informed(srv, manager);
  std::unique_ptr<metrics_endpoint> metrics;
  signal_watcher watcher([&srv, &manager](int sig) { act_on_signal(srv, manager, sig); });
  if (!start_metrics(srv, progress_period(manager), std::move(metrics_at), metrics, why) ||
      !watcher.start(why)) {
    log_start_failure("cannot start a thread", why);
    return exit_runtime;
  }
  // Announced once signals are handled: whoever reads this line may signal.
  for (const std::string& name : names) log_listening(name);
  manager.send("READY=1\nSTATUS=" + status_summary(srv.status()));
  srv.run();
  log_stopped(srv.status());
  return 0;
}

int serve_network(const server_options& asked, void (*handler)(int)) {
  raise_descriptor_limit();
  server_options options = asked;
  options.workers = workers_within_descriptor_budget(asked);
  check_descriptor_budget(options);
  // Before any thread exists, so that none takes an arena of its own.
  if (!share_malloc_arenas()) log_malloc_arenas_kept();
  failure why;
  // Before any thread exists, so every thread inherits the mask.
  if (!block_handled_signals(why)) {
    log_start_failure(why);
    return exit_runtime;
  }
  service_notifier manager;
  if (!manager.open_from_environment(why)) {
    log_notify_socket_unusable(why);
    return exit_runtime;
  }
  unique_fd wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake.valid()) {
    log_start_failure({"eventfd", errno});
    return exit_runtime;
  }
  socket_files made;  // removed on the way out, after the listeners close
  std::vector<listener> listeners;
  if (!open_listeners(options, listeners, made) || !prepare_listeners(options, listeners))
    return exit_runtime;
  listener metrics_at;
  if (options.metrics) {
    metrics_at.fd = open_listener(*options.metrics, metrics_backlog, false, why);
    if (!metrics_at.fd.valid()) {
      log_cannot_listen(format_endpoint(*options.metrics), why);
      return exit_runtime;
    }
    made.claim(*options.metrics);
    metrics_at.name = local_name(metrics_at.fd.get());
  }
  if (!start_log_writer(why, describe_lines_dropped, describe_journal_refused)) {
    log_log_thread_failed(why);
    return exit_runtime;
  }
  session::set_idle_timeout(std::chrono::seconds(options.idle_timeout));
  const int status = serve_listeners(options, handler, std::move(listeners), std::move(wake),
                                     manager, std::move(metrics_at));
  stop_log_writer(log_flush_patience);
  return status;
}

}  // namespace

int host_main(int argc, char** argv, void (*handler)(int fd)) {
  if (!open_standard_descriptors()) return exit_runtime;  // nowhere to say so
  choose_log_format();
  const parse_outcome parsed = parse_options(argc, argv);
  switch (parsed.status) {
    case parse_status::help:
      (void)fputs(usage_text().c_str(), stdout);
      return fflush(stdout) == 0 ? 0 : exit_runtime;
    case parse_status::completion:
      (void)fputs(completion_script().c_str(), stdout);
      return fflush(stdout) == 0 ? 0 : exit_runtime;
    case parse_status::version:
      printf("capecho-server %s\n", CAPECHO_VERSION);
      return fflush(stdout) == 0 ? 0 : exit_runtime;
    case parse_status::usage_error:
      log_usage_error(parsed.error, parsed.option);
      return exit_usage;
    case parse_status::run:
      break;
  }
  const server_options& options = parsed.options;
  set_log_level(options.level);
  set_log_format(options.log_style);
  // The handler already writes with MSG_NOSIGNAL; this covers the log.
  if (signal(SIGPIPE, SIG_IGN) == SIG_ERR) {
    log_start_failure({"signal SIGPIPE", errno});
    return exit_runtime;
  }
  return options.stdio ? serve_stdio(options, handler) : serve_network(options, handler);
}

}  // namespace capecho
