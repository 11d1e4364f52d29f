#include "host.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include "listeners.h"
#include "options.h"
#include "server.h"
#include "session_socket.h"
#include "stop_signals.h"

#ifndef CAPECHO_VERSION
#define CAPECHO_VERSION "unknown"
#endif

namespace capecho {
namespace {

constexpr int exit_runtime = 1;
constexpr int exit_usage = 2;

// Thousands of sessions need thousands of descriptors: take what the hard
// limit allows.
void raise_descriptor_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

// All or nothing: a listener that cannot be opened closes the others.
bool open_listeners(const server_options& options, std::vector<listener>& out) {
  std::vector<int> inherited;
  std::string error;
  if (!inherited_listeners(inherited, error)) {
    log_error("%s", error.c_str());
    return false;
  }
  for (int fd : inherited) out.push_back({fd, local_name(fd)});
  if (!inherited.empty()) return true;
  for (const endpoint& e : options.listen) {
    const int fd = open_listener(e, options.backlog, options.reuse_port, error);
    if (fd < 0) {
      log_error("cannot listen on %s", error.c_str());
      for (const listener& l : out) close(l.fd);
      out.clear();
      return false;
    }
    out.push_back({fd, local_name(fd)});
  }
  return true;
}

int serve_listeners(const server_options& options, void (*handler)(int),
                    std::vector<listener> listeners) {
  std::vector<std::string> names;
  names.reserve(listeners.size());
  for (const listener& l : listeners) names.push_back(l.name);
  server srv(options, handler, std::move(listeners));
  {
    stop_signal_watcher watcher([&srv] { srv.request_stop(); });
    // Announced once stop signals are handled: whoever reads this line may signal.
    for (const std::string& name : names) log_note("listening on %s", name.c_str());
    srv.run();
  }
  log_note("stopped: %llu sessions served, peak %u concurrent", srv.sessions_served(),
           srv.peak_sessions());
  return 0;
}

}  // namespace

int host_main(int argc, char** argv, void (*handler)(int fd)) {
  const parse_outcome parsed = parse_options(argc, argv);
  switch (parsed.status) {
    case parse_status::help:
      (void)fputs(usage_text().c_str(), stdout);
      return fflush(stdout) == 0 ? 0 : exit_runtime;
    case parse_status::version:
      printf("capecho-server %s\n", CAPECHO_VERSION);
      return fflush(stdout) == 0 ? 0 : exit_runtime;
    case parse_status::usage_error:
      log_error("%s (see --help)", parsed.error.c_str());
      return exit_usage;
    case parse_status::run:
      break;
  }
  const server_options& options = parsed.options;
  set_log_level(options.level);
  (void)signal(SIGPIPE,
               SIG_IGN);  // the handler already writes with MSG_NOSIGNAL; this covers the rest

  if (options.stdio) {
    prepare_session_socket(STDIN_FILENO, options.idle_timeout);
    handler(STDIN_FILENO);
    return 0;
  }

  raise_descriptor_limit();
  block_stop_signals();  // before any thread exists, so every thread inherits it
  std::vector<listener> listeners;
  if (!open_listeners(options, listeners)) return exit_runtime;
  return serve_listeners(options, handler, std::move(listeners));
}

}  // namespace capecho
