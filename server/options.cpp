#include "options.h"

#include <errno.h>
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <iterator>

namespace capecho {
namespace {

constexpr unsigned max_count = 1000000;
constexpr unsigned max_seconds = 86400 * 365;
constexpr unsigned max_overload_idle_ms = 3600 * 1000;
constexpr unsigned max_socket_buffer = 64 << 20;
constexpr unsigned max_keepalive = 32767;  // the kernel's limit for TCP_KEEPIDLE
constexpr unsigned max_proxy_timeout = 3600;
constexpr unsigned max_workers = 1024;

enum long_only : int {
  opt_max_connections = 256,
  opt_max_per_source,
  opt_idle_timeout,
  opt_backlog,
  opt_reuse_port,
  opt_shutdown_grace,
  opt_thread_cache,
  opt_stdio,
  opt_overload_idle,
  opt_socket_buffer,
  opt_keepalive,
  opt_metrics,
  opt_proxy_protocol,
  opt_trusted_proxy,
  opt_proxy_timeout,
  opt_drain_delay,
  opt_workers,
  opt_log_format,
};

const option long_options[] = {
    {"listen", required_argument, nullptr, 'l'},
    {"max-connections", required_argument, nullptr, opt_max_connections},
    {"max-per-source", required_argument, nullptr, opt_max_per_source},
    {"idle-timeout", required_argument, nullptr, opt_idle_timeout},
    {"backlog", required_argument, nullptr, opt_backlog},
    {"reuse-port", no_argument, nullptr, opt_reuse_port},
    {"shutdown-grace", required_argument, nullptr, opt_shutdown_grace},
    {"thread-cache", required_argument, nullptr, opt_thread_cache},
    {"stdio", no_argument, nullptr, opt_stdio},
    {"overload-idle", required_argument, nullptr, opt_overload_idle},
    {"socket-buffer", required_argument, nullptr, opt_socket_buffer},
    {"keepalive", required_argument, nullptr, opt_keepalive},
    {"metrics", required_argument, nullptr, opt_metrics},
    {"proxy-protocol", no_argument, nullptr, opt_proxy_protocol},
    {"trusted-proxy", required_argument, nullptr, opt_trusted_proxy},
    {"proxy-timeout", required_argument, nullptr, opt_proxy_timeout},
    {"drain-delay", required_argument, nullptr, opt_drain_delay},
    {"workers", required_argument, nullptr, opt_workers},
    {"log-format", required_argument, nullptr, opt_log_format},
    {"quiet", no_argument, nullptr, 'q'},
    {"verbose", no_argument, nullptr, 'v'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

// Reads a whole decimal number in [low, high], or says what is wrong.
bool parse_number(const char* text, unsigned low, unsigned high, unsigned& out, failure& why) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = strtoull(text, &end, 10);
  if (*text < '0' || *text > '9' || *end != '\0' || errno == ERANGE || value < low ||
      value > high) {
    why = {.refused = refusal::not_a_number, .input = text, .low = low, .high = high};
    return false;
  }
  out = static_cast<unsigned>(value);
  return true;
}

constexpr size_t option_count = std::size(long_options) - 1;

// What only a listening server does: with --stdio these are refused, all
// named at once, rather than ignored.
bool listening_only(int val) {
  switch (val) {
    case 'l':
    case opt_max_connections:
    case opt_max_per_source:
    case opt_backlog:
    case opt_reuse_port:
    case opt_shutdown_grace:
    case opt_overload_idle:
    case opt_metrics:
    case opt_proxy_protocol:
    case opt_trusted_proxy:
    case opt_proxy_timeout:
    case opt_drain_delay:
    case opt_workers:
      return true;
    default:
      return false;
  }
}

// "--listen, --metrics" for the options given that --stdio cannot use, in a
// buffer that outlives the parse (it runs once, before any thread); false
// when there are none.
bool stdio_conflicts(const bool (&given)[option_count], failure& why) {
  static char names[512];
  size_t used = 0;
  unsigned count = 0;
  for (size_t i = 0; i < option_count; ++i) {
    if (!given[i] || !listening_only(long_options[i].val)) continue;
    const int n = snprintf(names + used, sizeof names - used, "%s--%s", count > 0 ? ", " : "",
                           long_options[i].name);
    if (n > 0) used = std::min(used + static_cast<size_t>(n), sizeof names - 1);
    ++count;
  }
  if (count == 0) return false;
  why = {.refused = refusal::not_for_stdio, .input = {names, used}, .low = count};
  return true;
}

// Trusting every address would let any client claim to be any other.
refusal proxy_option_conflict(const server_options& o) {
  if (o.proxy_protocol && o.trusted_proxies.empty()) return refusal::proxy_protocol_untrusted;
  if (!o.proxy_protocol && !o.trusted_proxies.empty()) return refusal::trusted_proxy_alone;
  return refusal::none;
}

}  // namespace

std::string usage_text() {
  const server_options d;
  auto num = [](unsigned v) { return std::to_string(v); };
  return "Usage: capecho-server [OPTION]...\n"
         "Serves the upper-casing echo protocol over TCP on a fixed set of worker\n"
         "threads; a quiet session parks and holds none of them.\n"
         "\n"
         "  -l, --listen HOST:PORT     listen on HOST:PORT, on every address a name has;\n"
         "                             IPv6 as [ADDR]:PORT or [ADDR%IFACE]:PORT; repeatable;\n"
         "                             port 0 picks a free port (default " +
         std::string(default_listen) +
         ")\n"
         "      --max-connections N    sessions at once; at the limit new clients wait in\n"
         "                             the backlog (default " +
         num(d.max_connections) +
         ")\n"
         "      --overload-idle MS     at the limit, with clients waiting, end sessions whose\n"
         "                             client sent nothing for MS milliseconds to make room,\n"
         "                             hosts holding the most first (default " +
         num(d.overload_idle_ms) +
         ", 0 = never)\n"
         "      --max-per-source N     sessions at once from one address, more are closed\n"
         "                             at once (default " +
         num(d.max_per_source) +
         ", no limit)\n"
         "      --idle-timeout SECS    end a session whose client sends or reads nothing for\n"
         "                             SECS (default " +
         num(d.idle_timeout) +
         ", 0 = never)\n"
         "      --keepalive SECS       probe a silent peer after SECS, give it up after about\n"
         "                             twice that (default " +
         num(d.keepalive) +
         ", 0 = off)\n"
         "      --socket-buffer BYTES  kernel send and receive buffer of each session\n"
         "                             (default " +
         num(d.socket_buffer) +
         ", 0 = the kernel's own sizing)\n"
         "      --backlog N            listen backlog (default " +
         num(d.backlog) +
         ")\n"
         "      --reuse-port           let several processes listen on one port\n"
         "      --shutdown-grace SECS  on SIGTERM/SIGINT, let sessions finish for SECS, then\n"
         "                             end them (default " +
         num(d.shutdown_grace) +
         ")\n"
         "      --drain-delay SECS     on SIGTERM/SIGINT, keep accepting for SECS first while\n"
         "                             turning away a balancer's health checks, so it moves\n"
         "                             new clients elsewhere (default " +
         num(d.drain_delay) +
         ")\n"
         "      --workers N            threads that run the sessions (default 0: one per\n"
         "                             core this process may use, at least 12)\n"
         "      --thread-cache N       accepted for old command lines; no effect: the\n"
         "                             workers are a fixed set\n"
         "      --metrics HOST:PORT    answer GET /metrics there, in Prometheus text format,\n"
         "                             and /healthz and /readyz (default: off)\n"
         "      --proxy-protocol       every connection opens with a PROXY protocol header\n"
         "                             (v1 or v2) from a load balancer; the client it names\n"
         "                             is the session's source (default: off)\n"
         "      --trusted-proxy CIDR   the balancers allowed to send it, such as 10.0.0.0/8\n"
         "                             or 2001:db8::7; repeatable; required with\n"
         "                             --proxy-protocol, other peers are closed at once\n"
         "      --proxy-timeout SECS   time for the header to arrive whole (default " +
         num(d.proxy_timeout) +
         ")\n"
         "      --stdio                serve the one connection on standard input and exit;\n"
         "                             options for listening are refused with it\n"
         "      --log-format FORMAT    text (the default), json or logfmt: one object per\n"
         "                             line with time, level, event and its fields\n"
         "  -q, --quiet                log errors only\n"
         "  -v, --verbose              also log one line per session\n"
         "  -h, --help                 show this help and exit\n"
         "  -V, --version              show the version and exit\n"
         "\n"
         "Signals: SIGTERM/SIGINT stop after the grace, a second one or SIGQUIT at once;\n"
         "SIGUSR1 logs a status line; SIGHUP and SIGUSR2 are logged and ignored.\n"
         "With LISTEN_FDS and LISTEN_PID set for it by a service manager, the server uses\n"
         "the inherited listening sockets instead of --listen.\n"
         "Exit status: 0 after a clean stop, 1 on a runtime failure, 2 on bad usage.\n";
}

parse_outcome parse_options(int argc, char** argv) {
  parse_outcome r;
  server_options& o = r.options;
  auto fail = [&r](const failure& why, const char* option = nullptr) {
    r.status = parse_status::usage_error;
    r.error = why;
    r.option = option;
    return r;
  };
  bool given[option_count] = {};
  opterr = 0;
  optind = 1;
  // Parsed once, before any thread exists.
  // NOLINTNEXTLINE(concurrency-mt-unsafe)
  for (int c; (c = getopt_long(argc, argv, ":l:qvhV", long_options, nullptr)) != -1;) {
    const char* name = nullptr;
    for (size_t i = 0; i < option_count; ++i) {
      if (long_options[i].val != c) continue;
      name = long_options[i].name;
      given[i] = true;
    }
    failure why;
    bool ok = true;
    switch (c) {
      case 'l':
        ok = resolve_endpoints(optarg, o.listen, why);
        break;
      case opt_max_connections:
        ok = parse_number(optarg, 1, max_count, o.max_connections, why);
        break;
      case opt_max_per_source:
        ok = parse_number(optarg, 0, max_count, o.max_per_source, why);
        break;
      case opt_idle_timeout:
        ok = parse_number(optarg, 0, max_seconds, o.idle_timeout, why);
        break;
      case opt_backlog:
        ok = parse_number(optarg, 1, 65535, o.backlog, why);
        break;
      case opt_shutdown_grace:
        ok = parse_number(optarg, 0, max_seconds, o.shutdown_grace, why);
        break;
      case opt_thread_cache:
        ok = parse_number(optarg, 0, max_count, o.thread_cache, why);
        break;
      case opt_workers:
        ok = parse_number(optarg, 0, max_workers, o.workers, why);
        break;
      case opt_overload_idle:
        ok = parse_number(optarg, 0, max_overload_idle_ms, o.overload_idle_ms, why);
        break;
      case opt_socket_buffer:
        ok = parse_number(optarg, 0, max_socket_buffer, o.socket_buffer, why);
        break;
      case opt_keepalive:
        ok = parse_number(optarg, 0, max_keepalive, o.keepalive, why);
        break;
      case opt_metrics: {
        std::vector<endpoint> found;
        ok = resolve_endpoints(optarg, found, why);
        if (ok) o.metrics = found.front();  // one endpoint: the first address a name has
        break;
      }
      case opt_proxy_protocol:
        o.proxy_protocol = true;
        break;
      case opt_trusted_proxy: {
        address_range range;
        ok = parse_address_range(optarg, range, why);
        if (ok) o.trusted_proxies.push_back(range);
        break;
      }
      case opt_drain_delay:
        ok = parse_number(optarg, 0, max_seconds, o.drain_delay, why);
        break;
      case opt_proxy_timeout:
        ok = parse_number(optarg, 1, max_proxy_timeout, o.proxy_timeout, why);
        break;
      case opt_reuse_port:
        o.reuse_port = true;
        break;
      case opt_log_format:
        ok = parse_log_format(optarg, o.log_style);
        if (!ok) why = {.refused = refusal::not_log_format, .input = optarg};
        break;
      case opt_stdio:
        o.stdio = true;
        break;
      case 'q':
        o.level = verbosity::quiet;
        break;
      case 'v':
        o.level = verbosity::verbose;
        break;
      case 'h':
        r.status = parse_status::help;
        return r;
      case 'V':
        r.status = parse_status::version;
        return r;
      case ':':
        return fail({.refused = refusal::needs_argument, .input = argv[optind - 1]});
      default:
        return fail({.refused = refusal::unknown_option, .input = argv[optind - 1]});
    }
    if (!ok) return fail(why, name);
  }
  if (optind < argc) return fail({.refused = refusal::unexpected_argument, .input = argv[optind]});
  if (failure why; o.stdio && stdio_conflicts(given, why)) return fail(why);
  if (const refusal conflict = proxy_option_conflict(o); conflict != refusal::none)
    return fail({.refused = conflict});
  if (o.listen.empty()) {
    endpoint e;
    failure ignored;
    parse_endpoint(default_listen, e, ignored);
    o.listen.push_back(e);
  }
  return r;
}

}  // namespace capecho
