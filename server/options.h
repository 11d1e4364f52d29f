// The server's command line. Defaults are the initial values below.
#ifndef CAPECHO_SERVER_OPTIONS_H
#define CAPECHO_SERVER_OPTIONS_H

#include <optional>
#include <string>
#include <vector>

#include "address.h"
#include "address_range.h"
#include "failure.h"
#include "log.h"

namespace capecho {

struct server_options {
  std::vector<endpoint> listen;  // empty: the default address below
  unsigned max_connections = 1024;
  unsigned max_per_source = 0;  // 0: no limit
  unsigned idle_timeout = 300;  // seconds; 0: none
  unsigned backlog = 1024;
  bool reuse_port = false;
  unsigned shutdown_grace = 10;      // seconds
  unsigned drain_delay = 0;          // seconds of accepting after SIGTERM, failing health checks
  unsigned thread_cache = 256;       // no effect; accepted for old command lines
  unsigned workers = 0;              // threads that run the sessions; 0: see default_worker_count
  unsigned overload_idle_ms = 1500;  // at the limit, sessions idle this long may be ended; 0: never
  unsigned socket_buffer = 65536;    // bytes, each way, per session socket; 0: the kernel's
  unsigned keepalive = 60;           // seconds of silence before probing the peer; 0: off
  verbosity level = verbosity::normal;
  log_format log_style = log_format::text;  // --log-format
  bool stdio = false;
  std::optional<endpoint> metrics;             // where GET /metrics is answered; none by default
  bool proxy_protocol = false;                 // every connection opens with a PROXY header
  std::vector<address_range> trusted_proxies;  // who may send one; required with it
  unsigned proxy_timeout = 3;                  // seconds for the header to arrive whole
};

inline constexpr const char* default_listen = "127.0.0.1:7007";

enum class parse_status { run, help, version, completion, usage_error };

struct parse_outcome {
  parse_status status = parse_status::run;
  server_options options;
  // With usage_error: what is wrong, and the long name of the option it
  // concerns, or null (usage_error_text in events.h words them; the failure
  // points into argv).
  failure error;
  const char* option = nullptr;
};

// The command line, after settings from the environment: CAPECHO_ and the
// option's long name in capitals, '-' as '_' (option_variable), such as
// CAPECHO_MAX_CONNECTIONS=4096. Lists (--listen, --trusted-proxy) are
// separated by blanks; switches take yes or no. An option on the command
// line overrides its variable; a variable of that form that names no
// option is refused.
parse_outcome parse_options(int argc, char** argv);

std::string option_variable(const char* long_name);

std::string usage_text();

// A bash completion script for the options --help lists.
std::string completion_script();

}  // namespace capecho

#endif  // CAPECHO_SERVER_OPTIONS_H
