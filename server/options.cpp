#include "options.h"

#include <errno.h>
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <deque>

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
  opt_completion,
};

constexpr const char* short_options = ":l:qvhV";
constexpr std::string_view variable_prefix = "CAPECHO_";

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
    {"completion", required_argument, nullptr, opt_completion},  // hidden: for packaging
    {nullptr, 0, nullptr, 0},
};

// Options no variable sets: they are not settings of a running server.
bool command_line_only(const option& o) {
  return o.val == 'h' || o.val == 'V' || o.val == opt_stdio || o.val == opt_completion;
}

// Options that may be given more than once; their variable holds a list.
bool repeatable(const option& o) { return o.val == 'l' || o.val == opt_trusted_proxy; }

// What the environment adds to the command line, before it: each
// argument one "--name=value" or "--name", and for each the variable it
// came from ("max-connections, from CAPECHO_MAX_CONNECTIONS"), whose text
// outlives the parse as the C library's environment does.
struct environment_arguments {
  std::vector<char*> arguments;     // getopt may reorder them
  std::vector<const char*> origin;  // one per argument
};

// Never shrinks, so what a parse refers to stays valid.
std::deque<std::string>& environment_text() {
  static std::deque<std::string> text;
  return text;
}

bool truth(std::string_view v, bool& on) {
  for (const char* yes : {"yes", "true", "1"})
    if (v == yes) return (on = true);
  for (const char* no : {"no", "false", "0"})
    if (v == no) return !(on = false);
  return false;
}

// Runs before any thread exists, so getenv is safe.
// NOLINTBEGIN(concurrency-mt-unsafe)
bool read_environment(environment_arguments& out, failure& why, const char*& refused_option) {
  for (const option& o : long_options) {
    if (o.name == nullptr || command_line_only(o)) continue;
    const std::string variable = option_variable(o.name);
    const char* value = getenv(variable.c_str());
    if (value == nullptr || *value == '\0') continue;
    std::deque<std::string>& text = environment_text();
    const char* origin = text.emplace_back(std::string(o.name) + ", from " + variable).c_str();
    if (o.has_arg == no_argument) {
      bool on = false;
      if (!truth(value, on)) {
        why = {.refused = refusal::not_yes_or_no, .input = value};
        refused_option = origin;
        return false;
      }
      if (on) {
        out.arguments.push_back(text.emplace_back(std::string("--") + o.name).data());
        out.origin.push_back(origin);
      }
      continue;
    }
    const std::string_view all(value);
    const char* blanks = " \t\n";
    for (size_t at = all.find_first_not_of(blanks); at != std::string_view::npos;) {
      size_t end = repeatable(o) ? all.find_first_of(blanks, at) : std::string_view::npos;
      if (end == std::string_view::npos) end = all.size();
      out.arguments.push_back(text.emplace_back("--" + std::string(o.name) + "=" +
                                                std::string(all.substr(at, end - at)))
                                  .data());
      out.origin.push_back(origin);
      at = all.find_first_not_of(blanks, end);
    }
  }
  // A misspelt variable would otherwise be ignored without a word.
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view entry(*e);
    if (!entry.starts_with(variable_prefix)) continue;
    const std::string_view name = entry.substr(0, entry.find('='));
    bool known = false;
    for (const option& o : long_options)
      known =
          known || (o.name != nullptr && !command_line_only(o) && option_variable(o.name) == name);
    if (!known) {
      why = {.refused = refusal::unknown_variable, .input = entry, .culprit = name};
      return false;
    }
  }
  return true;
}
// NOLINTEND(concurrency-mt-unsafe)

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

std::string option_variable(const char* long_name) {
  std::string v(variable_prefix);
  for (const char* c = long_name; *c != '\0'; ++c)
    v += *c == '-' ? '_' : static_cast<char>(*c - ('a' <= *c && *c <= 'z' ? 'a' - 'A' : 0));
  return v;
}

std::string completion_script() {
  std::string words, with_argument;
  for (const option& o : long_options) {
    if (o.name == nullptr || o.val == opt_completion) continue;
    words += std::string(words.empty() ? "" : " ") + "--" + o.name;
    if (o.has_arg == required_argument) with_argument += "--" + std::string(o.name) + "|";
  }
  for (const char* c = short_options; *c != '\0'; ++c)
    if (*c != ':' && c[1] == ':') with_argument += std::string("-") + *c + "|";
  with_argument.pop_back();
  return "# bash completion for capecho-server; made by capecho-server --completion bash\n"
         "_capecho_server() {\n"
         "  local cur=${COMP_WORDS[COMP_CWORD]} prev=\n"
         "  ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}\n"
         "  COMPREPLY=()\n"
         "  case $prev in\n"
         "    " +
         with_argument +
         ") return 0 ;;  # a value: nothing to offer\n"
         "  esac\n"
         "  case $cur in\n"
         "    --*=*) ;;\n"
         "    -*) mapfile -t COMPREPLY < <(compgen -W '" +
         words +
         "' -- \"$cur\") ;;\n"
         "  esac\n"
         "  return 0\n"
         "}\n"
         "complete -F _capecho_server capecho-server\n";
}

std::string usage_text() {
  const server_options d;
  auto num = [](unsigned v) { return std::to_string(v); };
  return "Usage: capecho-server [OPTION]...\n"
         "Serves the upper-casing echo protocol over TCP on a fixed set of worker\n"
         "threads; a quiet session parks and holds none of them.\n"
         "\n"
         "  -l, --listen HOST:PORT     listen on HOST:PORT, on every address a name has;\n"
         "                             IPv6 as [ADDR]:PORT or [ADDR%IFACE]:PORT; unix:PATH\n"
         "                             for a Unix-domain socket (mode 0660); repeatable;\n"
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
         "                             core this process may use, and ten more)\n"
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
         "Every option but --help, --version and --stdio may be set in the environment\n"
         "instead: CAPECHO_ and its name in capitals, '_' for '-', such as\n"
         "CAPECHO_MAX_CONNECTIONS=4096; lists separated by blanks, switches yes or no.\n"
         "An option on the command line overrides its variable.\n"
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
  bool given[option_count] = {};  // on the command line
  // The environment's settings come first, so the command line's win.
  environment_arguments env;
  failure env_why;
  const char* env_option = nullptr;
  const bool env_ok = read_environment(env, env_why, env_option);
  std::vector<char*> args{argv[0]};
  args.insert(args.end(), env.arguments.begin(), env.arguments.end());
  args.insert(args.end(), argv + 1, argv + argc);
  const size_t from_env_end = env.arguments.size();  // args[1..this] are the environment's
  bool listen_from_env = false, trusted_from_env = false;
  opterr = 0;
  optind = 1;
  const int count = static_cast<int>(args.size());
  // Where getopt stands before each option: inside a group of short options
  // (-qv) it stays on the group, so this, not what follows, says whose it is.
  for (int before = optind;; before = optind) {
    // Parsed once, before any thread exists.
    // NOLINTNEXTLINE(concurrency-mt-unsafe)
    const int c = getopt_long(count, args.data(), short_options, long_options, nullptr);
    if (c == -1) break;
    const char* name = nullptr;
    // Each of the environment's is one argument, all before the command line's.
    const auto at = static_cast<size_t>(before);
    const bool from_env = at >= 1 && at <= from_env_end;
    for (size_t i = 0; i < option_count; ++i) {
      if (long_options[i].val != c) continue;
      name = long_options[i].name;
      // What --stdio refuses is what the command line asks: a service's
      // environment file may set options for the listening server.
      given[i] = given[i] || !from_env;
    }
    if (from_env) name = env.origin[at - 1];
    // A list on the command line replaces the variable's.
    if (c == 'l' && listen_from_env != from_env) {
      if (!from_env) o.listen.clear();
      listen_from_env = from_env;
    }
    if (c == opt_trusted_proxy && trusted_from_env != from_env) {
      if (!from_env) o.trusted_proxies.clear();
      trusted_from_env = from_env;
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
      case opt_completion:
        if (strcmp(optarg, "bash") != 0)
          return fail({.refused = refusal::unexpected_argument, .input = optarg}, name);
        r.status = parse_status::completion;
        return r;
      case ':':
        return fail(
            {.refused = refusal::needs_argument, .input = args[static_cast<size_t>(optind - 1)]});
      default:
        return fail(
            {.refused = refusal::unknown_option, .input = args[static_cast<size_t>(optind - 1)]});
    }
    if (!ok) return fail(why, name);
  }
  if (static_cast<size_t>(optind) < args.size())
    return fail(
        {.refused = refusal::unexpected_argument, .input = args[static_cast<size_t>(optind)]});
  if (!env_ok) return fail(env_why, env_option);
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
