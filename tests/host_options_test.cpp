// The host's command line, addresses, rate limit and signal table, linked
// directly against the host library.
#include <signal.h>

#include <thread>

#include <gtest/gtest.h>

#include "address.h"
#include "events.h"
#include "log.h"
#include "options.h"
#include "signals.h"

using namespace capecho;

namespace {

struct parsed {
  parse_status status;
  server_options options;
  std::string error;  // a usage error as the server logs it
};

// The usage error is worded while the arguments it refers to still exist.
parsed parse(std::vector<std::string> args) {
  args.insert(args.begin(), "capecho-server");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const parse_outcome r = parse_options(static_cast<int>(args.size()), argv.data());
  return {r.status, r.options,
          r.status == parse_status::usage_error ? usage_error_text(r.error, r.option) : ""};
}

TEST(Options, DefaultsDefendAServerExposedToStrangers) {
  const parsed r = parse({});
  ASSERT_EQ(r.status, parse_status::run);
  const server_options& o = r.options;
  EXPECT_EQ(o.max_connections, 1024u);
  EXPECT_EQ(o.overload_idle_ms, 1500u);
  EXPECT_EQ(o.idle_timeout, 300u);
  EXPECT_EQ(o.keepalive, 60u);
  EXPECT_EQ(o.socket_buffer, 65536u);
  EXPECT_EQ(o.max_per_source, 0u);
  EXPECT_EQ(o.backlog, 1024u);
  EXPECT_EQ(o.shutdown_grace, 10u);
  EXPECT_EQ(o.thread_cache, 256u);
  EXPECT_FALSE(o.reuse_port);
  EXPECT_FALSE(o.stdio);
  EXPECT_EQ(o.level, verbosity::normal);
  EXPECT_FALSE(o.proxy_protocol);
  EXPECT_EQ(o.proxy_timeout, 3u);
  EXPECT_EQ(o.drain_delay, 0u);
  ASSERT_EQ(o.listen.size(), 1u);
  EXPECT_EQ(format_endpoint(o.listen[0]), "127.0.0.1:7007") << "loopback unless told otherwise";
}

TEST(Options, EveryOptionReachesItsSettingAtBothEndsOfItsRange) {
  struct range_case {
    const char* option;
    unsigned low, high;
    unsigned server_options::*field;
  };
  const range_case cases[] = {
      {"--max-connections", 1, 1000000, &server_options::max_connections},
      {"--max-per-source", 0, 1000000, &server_options::max_per_source},
      {"--idle-timeout", 0, 86400 * 365, &server_options::idle_timeout},
      {"--backlog", 1, 65535, &server_options::backlog},
      {"--shutdown-grace", 0, 86400 * 365, &server_options::shutdown_grace},
      {"--thread-cache", 0, 1000000, &server_options::thread_cache},
      {"--overload-idle", 0, 3600000, &server_options::overload_idle_ms},
      {"--socket-buffer", 0, 64 << 20, &server_options::socket_buffer},
      {"--keepalive", 0, 32767, &server_options::keepalive},
      {"--proxy-timeout", 1, 3600, &server_options::proxy_timeout},
      {"--drain-delay", 0, 86400 * 365, &server_options::drain_delay},
  };
  for (const range_case& c : cases) {
    for (unsigned v : {c.low, c.high}) {
      std::vector<std::string> args{c.option, std::to_string(v)};
      if (std::string(c.option) == "--proxy-timeout")
        args.insert(args.end(), {"--proxy-protocol", "--trusted-proxy", "10.0.0.1"});
      const parsed r = parse(args);
      ASSERT_EQ(r.status, parse_status::run) << c.option << " " << v << ": " << r.error;
      EXPECT_EQ(r.options.*c.field, v) << c.option;
    }
    const parsed above = parse({c.option, std::to_string(c.high + 1ULL)});
    EXPECT_EQ(above.status, parse_status::usage_error) << c.option;
    EXPECT_NE(above.error.find(c.option), std::string::npos) << above.error;
    if (c.low > 0) {
      EXPECT_EQ(parse({c.option, std::to_string(c.low - 1)}).status, parse_status::usage_error)
          << c.option;
    }
  }
  EXPECT_EQ(parse({"--backlog", "9"}).options.backlog, 9u) << "every leading digit";
  const parsed flags = parse({"--reuse-port", "-v", "-l", "[::1]:0", "-l", "127.0.0.2:9"});
  ASSERT_EQ(flags.status, parse_status::run) << flags.error;
  EXPECT_TRUE(flags.options.reuse_port);
  EXPECT_TRUE(parse({"--stdio", "--idle-timeout", "5", "--keepalive", "0", "--socket-buffer", "0",
                     "-v", "--log-format", "json"})
                  .options.stdio)
      << "what applies to the one connection";
  EXPECT_EQ(parse({"--log-format", "logfmt"}).options.log_style, log_format::logfmt);
  EXPECT_EQ(flags.options.level, verbosity::verbose);
  ASSERT_EQ(flags.options.listen.size(), 2u) << "given addresses replace the default";
  EXPECT_EQ(format_endpoint(flags.options.listen[0]), "[::1]:0");
  EXPECT_EQ(parse({"-q"}).options.level, verbosity::quiet);
  EXPECT_EQ(parse({"-h"}).status, parse_status::help);
  EXPECT_EQ(parse({"-V"}).status, parse_status::version);
}

TEST(Options, RejectsWhatIsNotAWholeNumber) {
  for (const char* bad : {"", "x", "-1", "+1", "1x", " 1", "99999999999999999999"}) {
    const parsed r = parse({"--idle-timeout", bad});
    EXPECT_EQ(r.status, parse_status::usage_error) << "'" << bad << "'";
    EXPECT_NE(r.error.find("is not a number from 0 to"), std::string::npos) << r.error;
  }
  EXPECT_EQ(parse({"--idle-timeout"}).error, "option '--idle-timeout' needs an argument");
  EXPECT_EQ(parse({"--bogus"}).error, "unknown option '--bogus'");
  EXPECT_EQ(parse({"extra"}).error, "unexpected argument 'extra'");
}

// Trusting every address would let any client claim any other's.
TEST(Options, ProxyProtocolOnlyWithTrustedProxies) {
  const parsed r = parse(
      {"--proxy-protocol", "--trusted-proxy", "10.0.0.0/8", "--trusted-proxy", "2001:db8::7"});
  ASSERT_EQ(r.status, parse_status::run) << r.error;
  EXPECT_TRUE(r.options.proxy_protocol);
  EXPECT_EQ(r.options.trusted_proxies.size(), 2u);

  const parsed alone = parse({"--proxy-protocol"});
  EXPECT_EQ(alone.status, parse_status::usage_error);
  EXPECT_EQ(alone.error,
            "--proxy-protocol needs --trusted-proxy: otherwise any client could forge its address");
  EXPECT_EQ(parse({"--trusted-proxy", "10.0.0.1"}).error,
            "--trusted-proxy applies only with --proxy-protocol");
  EXPECT_EQ(parse({"--stdio", "--proxy-protocol", "--trusted-proxy", "10.0.0.1"}).error,
            "--proxy-protocol, --trusted-proxy do not apply to --stdio");
  // Every option only a listening server uses is refused alike, not ignored.
  EXPECT_EQ(parse({"--stdio", "-l", "127.0.0.1:9", "--metrics", "127.0.0.1:9"}).error,
            "--listen, --metrics do not apply to --stdio");
  EXPECT_EQ(parse({"--workers", "2", "--stdio"}).error, "--workers does not apply to --stdio");
  EXPECT_EQ(parse({"--proxy-protocol", "--trusted-proxy", "10.0.0.0/40"}).error,
            "--trusted-proxy: '10.0.0.0/40': the prefix length must be a number from 0 to 32");
}

TEST(Options, HelpNamesEveryOptionWithItsDefault) {
  const std::string help = usage_text();
  for (const char* text : {"--listen",
                           "--max-connections N",
                           "--overload-idle MS",
                           "--max-per-source",
                           "--idle-timeout",
                           "--keepalive SECS",
                           "--socket-buffer BYTES",
                           "--backlog",
                           "--reuse-port",
                           "--shutdown-grace",
                           "--thread-cache",
                           "--stdio",
                           "--log-format FORMAT",
                           "--proxy-protocol",
                           "--trusted-proxy CIDR",
                           "--proxy-timeout SECS",
                           "--drain-delay SECS",
                           "--quiet",
                           "--verbose",
                           "--help",
                           "--version",
                           "(default 1500",
                           "(default 65536",
                           "(default 60,",
                           "(default 1024)",
                           "(default 300",
                           "SIGUSR1",
                           "SIGQUIT",
                           "SIGHUP",
                           "Exit status"})
    EXPECT_NE(help.find(text), std::string::npos) << text;
}

// Settings from CAPECHO_* variables, each set for one case and removed.
struct environment_case {
  std::vector<std::pair<std::string, std::string>> variables;
  std::vector<std::string> args;
  std::string error;  // empty: parses
};

parsed parse_with(const environment_case& c) {
  for (const auto& [name, value] : c.variables) setenv(name.c_str(), value.c_str(), 1);
  parsed r = parse(c.args);
  for (const auto& [name, value] : c.variables) unsetenv(name.c_str());
  return r;
}

TEST(Options, VariablesSetOptionsAndTheCommandLineWins) {
  const parsed r = parse_with({{{"CAPECHO_MAX_CONNECTIONS", "77"},
                                {"CAPECHO_LISTEN", " 127.0.0.1:1\t[::1]:2  unix:/run/e.sock "},
                                {"CAPECHO_REUSE_PORT", "yes"},
                                {"CAPECHO_VERBOSE", "true"},
                                {"CAPECHO_QUIET", "no"},
                                {"CAPECHO_PROXY_PROTOCOL", "1"},
                                {"CAPECHO_TRUSTED_PROXY", "10.0.0.0/8 ::1"},
                                {"CAPECHO_IDLE_TIMEOUT", "9"}},
                               {"--idle-timeout", "5", "--trusted-proxy", "192.0.2.1"},
                               ""});
  ASSERT_EQ(r.status, parse_status::run) << r.error;
  const server_options& o = r.options;
  EXPECT_EQ(o.max_connections, 77u);
  ASSERT_EQ(o.listen.size(), 3u);
  EXPECT_EQ(format_endpoint(o.listen[1]), "[::1]:2");
  EXPECT_EQ(format_endpoint(o.listen[2]), "unix:/run/e.sock");
  EXPECT_TRUE(o.reuse_port);
  EXPECT_EQ(o.level, verbosity::verbose);
  EXPECT_EQ(o.idle_timeout, 5u) << "the command line wins";
  EXPECT_EQ(o.trusted_proxies.size(), 1u) << "a list on the command line replaces the variable's";

  const std::vector<environment_case> refused = {
      {{{"CAPECHO_MAX_CONNECTIONS", "lots"}},
       {},
       "--max-connections, from CAPECHO_MAX_CONNECTIONS: 'lots' is not a number"},
      {{{"CAPECHO_REUSE_PORT", "on"}},
       {},
       "--reuse-port, from CAPECHO_REUSE_PORT: 'on' is not yes or no"},
      {{{"CAPECHO_MAX_CONECTIONS", "5"}}, {}, "CAPECHO_MAX_CONECTIONS names no option"},
      {{{"CAPECHO_STDIO", "yes"}}, {}, "CAPECHO_STDIO names no option"},
      {{{"CAPECHO_LISTEN", "unix:"}}, {}, "--listen, from CAPECHO_LISTEN: 'unix:'"},
      {{{"CAPECHO_LISTEN", "nowhere"}},
       {"--listen", "127.0.0.1:1"},
       "--listen, from CAPECHO_LISTEN: 'nowhere'"},
  };
  for (const environment_case& c : refused) {
    const parsed bad = parse_with(c);
    EXPECT_EQ(bad.status, parse_status::usage_error) << c.error;
    EXPECT_EQ(bad.error.find(c.error), 0u) << bad.error;
  }
  EXPECT_EQ(parse_with({{{"CAPECHO_LISTEN", ""}, {"CAPECHO_VERBOSE", ""}}, {}, ""}).options.level,
            verbosity::normal)
      << "an empty variable is unset";
}

TEST(Address, ParsesFormatsAndKeysBySourceHost) {
  endpoint a, b, c;
  failure why;
  ASSERT_TRUE(parse_endpoint("127.0.0.9:80", a, why)) << failure_text(why);
  ASSERT_TRUE(parse_endpoint("127.0.0.9:65535", b, why)) << failure_text(why);
  ASSERT_TRUE(parse_endpoint("[::ffff:127.0.0.9]:80", c, why)) << failure_text(why);
  EXPECT_EQ(format_endpoint(a), "127.0.0.9:80");
  EXPECT_EQ(format_endpoint(c), "[::ffff:127.0.0.9]:80");
  endpoint longest;
  const char* widest = "[ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff]:65535";
  ASSERT_TRUE(parse_endpoint(widest, longest, why)) << failure_text(why);
  EXPECT_EQ(format_endpoint(longest), widest);
  EXPECT_EQ(source_key(a), source_key(b)) << "ports do not matter";
  EXPECT_NE(source_key(a), source_key(c));
  endpoint d;
  ASSERT_TRUE(parse_endpoint("127.0.0.10:80", d, why));
  EXPECT_NE(source_key(a), source_key(d));
  EXPECT_FALSE(parse_endpoint("127.0.0.1:65536", a, why));
  EXPECT_FALSE(parse_endpoint("[::1:80", a, why));
  EXPECT_FALSE(parse_endpoint("1.2.3:80", a, why));
  EXPECT_EQ(failure_text(why), "'1.2.3:80': '1.2.3' is not a numeric IPv4 address");
}

TEST(Address, ResolvesNamesAndScopesAndSaysWhatFailed) {
  std::vector<endpoint> found;
  failure why;
  ASSERT_TRUE(resolve_endpoints("localhost:7007", found, why)) << failure_text(why);
  ASSERT_FALSE(found.empty());
  for (const endpoint& e : found) {
    const std::string text = format_endpoint(e);
    EXPECT_TRUE(text == "127.0.0.1:7007" || text == "[::1]:7007") << text;
  }
  const size_t localhost = found.size();
  ASSERT_TRUE(resolve_endpoints("[::1]:0", found, why)) << failure_text(why);
  ASSERT_TRUE(resolve_endpoints("127.0.0.2:9", found, why)) << failure_text(why);
  ASSERT_EQ(found.size(), localhost + 2) << "appended, once each";
  EXPECT_EQ(format_endpoint(found.back()), "127.0.0.2:9");
  ASSERT_TRUE(resolve_endpoints("[fe80::1%lo]:7007", found, why)) << failure_text(why);
  EXPECT_EQ(format_endpoint(found.back()), "[fe80::1%lo]:7007") << "the scope is kept";

  const struct {
    const char* text;
    const char* says;
  } failures[] = {
      {"[::ffff:127.0.0.1]:0", "an IPv4-mapped IPv6 address cannot be listened on"},
      {"name.invalid:7007", "cannot resolve 'name.invalid': "},
      {"::1:7007", "an IPv6 address goes in brackets, as [::1]:PORT"},
      {"[localhost]:7007", "cannot resolve 'localhost': not a numeric IPv6 address"},
      {"[fe80::1%nosuchif0]:7007",
       "cannot resolve 'fe80::1%nosuchif0': not a numeric IPv6 address with the name or number "
       "of an interface"},
      {"localhost:http", "port must be a number from 0 to 65535"},
      {"localhost:+80", "port must be a number from 0 to 65535"},
      {"localhost: 80", "port must be a number from 0 to 65535"},
      {":7007", "is not HOST:PORT or [IPV6]:PORT"},
      {"localhost", "is not HOST:PORT or [IPV6]:PORT"},
  };
  for (const auto& f : failures) {
    std::vector<endpoint> none;
    why = {};
    EXPECT_FALSE(resolve_endpoints(f.text, none, why)) << f.text;
    EXPECT_TRUE(none.empty()) << f.text;
    const std::string error = failure_text(why);
    EXPECT_NE(error.find(f.says), std::string::npos) << f.text << ": " << error;
    EXPECT_EQ(error.rfind(std::string("'") + f.text + "'", 0), 0u) << "names what was tried";
  }
  EXPECT_EQ(parse({"--listen", ":1"}).error, "--listen: ':1' is not HOST:PORT or [IPV6]:PORT");
  EXPECT_EQ(parse({"--metrics", ":1"}).error, "--metrics: ':1' is not HOST:PORT or [IPV6]:PORT");
  const parsed r = parse({"--listen", "localhost:0", "--metrics", "localhost:0"});
  ASSERT_EQ(r.status, parse_status::run) << r.error;
  EXPECT_EQ(r.options.listen.size(), localhost);
  ASSERT_TRUE(r.options.metrics.has_value());
}

TEST(RateLimit, LetsOneEventAnIntervalThroughAndCountsTheRest) {
  rate_limit limit(std::chrono::milliseconds(200));
  unsigned suppressed = 99;
  EXPECT_TRUE(limit.allow(suppressed));
  EXPECT_EQ(suppressed, 0u);
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(limit.allow(suppressed));
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  EXPECT_TRUE(limit.allow(suppressed));
  EXPECT_EQ(suppressed, 5u);
  EXPECT_FALSE(limit.allow(suppressed));
}

TEST(Signals, EachSignalHasItsAction) {
  EXPECT_EQ(action_for(SIGTERM), signal_action::stop);
  EXPECT_EQ(action_for(SIGINT), signal_action::stop);
  EXPECT_EQ(action_for(SIGQUIT), signal_action::stop_now);
  EXPECT_EQ(action_for(SIGUSR1), signal_action::status);
  EXPECT_EQ(action_for(SIGHUP), signal_action::ignore);
  EXPECT_EQ(action_for(SIGUSR2), signal_action::ignore);
  EXPECT_STREQ(signal_name(SIGHUP), "SIGHUP");
  EXPECT_STREQ(signal_name(SIGQUIT), "SIGQUIT");
}

TEST(Events, DroppedLinesAreCountedInWords) {
  char line[128];
  std::string one(line, describe_lines_dropped(line, sizeof line, 1));
  EXPECT_EQ(one, "1 log line dropped: standard error is too slow");
  std::string many(line, describe_lines_dropped(line, sizeof line, 12));
  EXPECT_EQ(many, "12 log lines dropped: standard error is too slow");
  EXPECT_EQ(describe_lines_dropped(line, 10, 12), 9u) << "cut to fit, with its terminating zero";
  EXPECT_STREQ(line, "12 log li");
}

}  // namespace
