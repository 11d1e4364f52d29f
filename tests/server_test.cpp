// capecho-server end to end: the real binary on loopback, real clients.
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <memory>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "server_process.h"
#include "tcp_client.h"
#include "unique_fd.h"

using namespace capecho_test;
using namespace std::chrono_literals;

namespace {

// An RFC 3339 UTC time to the millisecond, as each log line begins.
const std::string timestamp = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z )";

TEST(Server, ServesAWholeSessionAndStopsCleanly) {
  server_process server(listen_args({"--verbose"}));
  const int port = server.port();
  ASSERT_GT(port, 0) << server.log();
  {
    tcp_client c(port);
    ASSERT_TRUE(c.connected());
    EXPECT_TRUE(c.greeted());
    EXPECT_EQ(c.echo("Hello, World\r\n"), "HELLO, WORLD\r\n");
    EXPECT_TRUE(c.finish());
  }
  EXPECT_TRUE(server.wait_for_log("session 127.0.0.1:"));
  server.signal(SIGTERM);
  EXPECT_EQ(server.wait_exit(), 0);
  EXPECT_NE(server.log().find("stopped: 1 session served, peak 1 concurrent"), std::string::npos)
      << server.log();
}

TEST(Server, ServesTwoHundredClientsAtOnce) {
  server_process server(listen_args());
  const int port = server.port();
  ASSERT_GT(port, 0);
  std::vector<std::unique_ptr<tcp_client>> clients;
  for (int i = 0; i < 200; ++i) {
    clients.push_back(std::make_unique<tcp_client>(port));
    ASSERT_TRUE(clients.back()->connected()) << i;
  }
  for (auto& c : clients) ASSERT_TRUE(c->greeted());
  for (int round = 0; round < 5; ++round)
    for (size_t i = 0; i < clients.size(); ++i) {
      const std::string chunk = "client " + std::to_string(i) + " round " + std::to_string(round);
      ASSERT_EQ(clients[i]->echo(chunk),
                "CLIENT " + std::to_string(i) + " ROUND " + std::to_string(round));
    }
  for (auto& c : clients) EXPECT_TRUE(c->finish());
  server.signal(SIGTERM);
  EXPECT_EQ(server.wait_exit(), 0);
  EXPECT_NE(server.log().find("peak 200 concurrent"), std::string::npos) << server.log();
}

TEST(Server, AtTheConnectionLimitNewClientsWaitTheirTurn) {
  server_process server(listen_args({"--max-connections", "2"}));
  const int port = server.port();
  ASSERT_GT(port, 0);
  tcp_client first(port), second(port);
  ASSERT_TRUE(first.greeted());
  ASSERT_TRUE(second.greeted());
  tcp_client third(port);
  ASSERT_TRUE(third.connected()) << "the third client waits in the backlog, not refused";
  EXPECT_TRUE(nothing_arrives(third.fd(), 300));
  EXPECT_TRUE(
      server.wait_for_log("connection limit of 2 reached; not accepting until a session ends\n"));
  EXPECT_TRUE(first.finish());
  EXPECT_TRUE(third.greeted());
  EXPECT_EQ(third.echo("turn"), "TURN");
  EXPECT_EQ(second.echo("still"), "STILL");
}

TEST(Server, TheLimitHoldsAcrossListeners) {
  server_process server({"--listen", "127.0.0.1:0", "--listen", "127.0.0.2:0", "--max-connections",
                         "1", "--overload-idle", "0"});
  ASSERT_TRUE(server.wait_for_log("listening on 127.0.0.2:")) << server.log();
  const int first = server.port();
  const std::string& log = server.log();
  const int second = std::stoi(log.substr(log.find("listening on 127.0.0.2:") + 23));
  tcp_client holder(first);
  ASSERT_TRUE(holder.greeted());
  tcp_client x(first), y(second, "127.0.0.2");  // both wait, one on each listener
  ASSERT_TRUE(x.connected());
  ASSERT_TRUE(y.connected());
  EXPECT_TRUE(nothing_arrives(x.fd(), 200));
  EXPECT_TRUE(holder.finish());
  pollfd either[] = {{x.fd(), POLLIN, 0}, {y.fd(), POLLIN, 0}};
  EXPECT_GT(poll(either, 2, 10000), 0) << "the freed slot is taken";
  EXPECT_NE(nothing_arrives(x.fd(), 300), nothing_arrives(y.fd(), 300))
      << "one slot freed: one of the two is served, the other still waits";
}

TEST(Server, PerSourceLimitClosesTheExtraConnection) {
  server_process server(listen_args({"--max-per-source", "1"}));
  const int port = server.port();
  ASSERT_GT(port, 0);
  tcp_client first(port);
  ASSERT_TRUE(first.greeted());
  tcp_client extra(port);
  EXPECT_TRUE(extra.closed_by_server());
  EXPECT_TRUE(first.finish());
  tcp_client later(port);
  EXPECT_TRUE(later.greeted()) << "the count drops when a session ends";
}

// A session ends once its client has been quiet for the whole time-out, and
// not before: the server's last activity is no earlier than the client's
// last send, so the close can come no sooner than a time-out after it.
TEST(Server, IdleSessionsEnd) {
  server_process server(listen_args({"--idle-timeout", "1"}));
  const int port = server.port();
  ASSERT_GT(port, 0);
  tcp_client idle(port);
  ASSERT_TRUE(idle.greeted());
  const auto last_spoke = std::chrono::steady_clock::now();
  ASSERT_EQ(idle.echo("still here"), "STILL HERE") << "a session that speaks is served";
  EXPECT_TRUE(idle.closed_by_server());
  EXPECT_GE(std::chrono::steady_clock::now() - last_spoke, 1s) << "not before its time";
}

TEST(Server, StopLetsRunningSessionsFinishWithinTheGrace) {
  server_process server(listen_args({"--shutdown-grace", "30"}));
  const int port = server.port();
  ASSERT_GT(port, 0);
  tcp_client c(port);
  ASSERT_TRUE(c.greeted());
  server.signal(SIGTERM);
  ASSERT_TRUE(server.wait_for_log("stopping: waiting up to 30s for 1 session"));
  tcp_client late(port);
  EXPECT_FALSE(late.connected()) << "listeners close at once";
  EXPECT_EQ(c.echo("finishing"), "FINISHING");
  EXPECT_TRUE(c.finish());
  EXPECT_EQ(server.wait_exit(), 0);
}

TEST(Server, StopEndsSessionsPastTheGraceAndOnASecondSignal) {
  {
    server_process server(listen_args({"--shutdown-grace", "1"}));
    const int port = server.port();
    ASSERT_GT(port, 0);
    tcp_client c(port);
    ASSERT_TRUE(c.greeted());
    server.signal(SIGTERM);
    EXPECT_TRUE(c.closed_by_server());
    EXPECT_EQ(server.wait_exit(), 0);
    EXPECT_NE(server.log().find("ending 1 session"), std::string::npos) << server.log();
  }
  {
    server_process server(listen_args({"--shutdown-grace", "600"}));
    const int port = server.port();
    ASSERT_GT(port, 0);
    tcp_client c(port);
    ASSERT_TRUE(c.greeted());
    server.signal(SIGINT);
    ASSERT_TRUE(server.wait_for_log("stopping:"));
    server.signal(SIGINT);
    EXPECT_TRUE(c.closed_by_server());
    EXPECT_EQ(server.wait_exit(), 0);
  }
}

TEST(Server, SurvivesClientsThatResetMidSession) {
  server_process server(listen_args());
  const int port = server.port();
  ASSERT_GT(port, 0);
  for (int i = 0; i < 200; ++i) {
    tcp_client c(port);
    ASSERT_TRUE(c.connected());
    if (i % 2 == 0) {
      ASSERT_TRUE(c.greeted());
    }
    c.send_all(std::string(static_cast<size_t>(1 + i * 7), 'r'));
    c.reset();
  }
  tcp_client normal(port);
  EXPECT_TRUE(normal.greeted());
  EXPECT_EQ(normal.echo("alive"), "ALIVE");
  EXPECT_TRUE(normal.finish());
}

TEST(Server, WarnsOfATooLowDescriptorLimitAndRecoversFromExhaustion) {
  spawn_setup roomy;
  // 150 sessions, one listener, two workers' epoll sets and wake-ups, and
  // the server's own 32: 187 fit exactly, 186 do not.
  roomy.shell_prefix = "ulimit -n 187;";
  server_process fits(listen_args({"--max-connections", "150", "--workers", "2"}), roomy);
  ASSERT_GT(fits.port(), 0) << fits.log();
  EXPECT_EQ(fits.log().find("RLIMIT_NOFILE"), std::string::npos) << fits.log();
  spawn_setup tight;
  tight.shell_prefix = "ulimit -n 186;";
  server_process short_by_one(listen_args({"--max-connections", "150", "--workers", "2"}), tight);
  ASSERT_GT(short_by_one.port(), 0) << short_by_one.log();
  EXPECT_NE(short_by_one.log().find("--max-connections 150 needs about 187 descriptors, but "
                                    "RLIMIT_NOFILE allows 186: past about 149 sessions "),
            std::string::npos)
      << short_by_one.log();

  spawn_setup low_limit;
  low_limit.shell_prefix = "ulimit -n 24;";
  server_process server(listen_args({"--workers", "2"}), low_limit);
  const int port = server.port();
  ASSERT_GT(port, 0);
  EXPECT_NE(server.log().find("--max-connections 1024 needs about 10"), std::string::npos)
      << server.log();
  EXPECT_NE(server.log().find("RLIMIT_NOFILE allows 24: past about 0 sessions "), std::string::npos)
      << "said at start, before the first client: " << server.log();
  EXPECT_NE(server.log().find("raise the limit (LimitNOFILE="), std::string::npos);
  {
    std::vector<std::unique_ptr<tcp_client>> crowd;
    for (int i = 0; i < 40; ++i) crowd.push_back(std::make_unique<tcp_client>(port, "127.0.0.1"));
    EXPECT_TRUE(server.wait_for_log("Too many open files; retrying")) << server.log();
  }
  tcp_client after(port);
  EXPECT_TRUE(after.greeted()) << server.log();
  EXPECT_EQ(after.echo("served"), "SERVED");
  EXPECT_TRUE(after.finish());

  // A dozen workers would take every descriptor: fewer run, said once, and
  // sessions have the rest.
  server_process sized(listen_args({"--workers", "12"}), low_limit);
  const int sized_port = sized.port();
  ASSERT_GT(sized_port, 0) << sized.log();
  std::vector<std::unique_ptr<tcp_client>> some;
  for (int i = 0; i < 6; ++i) {
    some.push_back(std::make_unique<tcp_client>(sized_port));
    EXPECT_TRUE(some.back()->greeted()) << sized.log();
  }
  for (auto& c : some) EXPECT_EQ(c->echo("all in"), "ALL IN");
  for (auto& c : some) EXPECT_TRUE(c->finish());
  sized.signal(SIGTERM);
  EXPECT_EQ(sized.wait_exit(), 0);
  const std::string& log = sized.log();
  const std::string note =
      "RLIMIT_NOFILE allows only 24 descriptors: running 3 workers instead of 12";
  const size_t at = log.find(note);
  EXPECT_NE(at, std::string::npos) << log;
  EXPECT_EQ(log.find(note, at + 1), std::string::npos) << log;
  EXPECT_EQ(log.find("cannot start a thread"), std::string::npos) << log;
}

TEST(Server, ServesTheConnectionOnStandardInput) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  spawn_setup on_stdin;
  on_stdin.stdin_fd = fds[1];
  server_process server({"--stdio", "-v"}, on_stdin);
  close(fds[1]);
  const timeval limit{5, 0};
  setsockopt(fds[0], SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  char buf[16];
  ASSERT_EQ(recv(fds[0], buf, 9, MSG_WAITALL), 9);
  EXPECT_EQ(std::string(buf, 9), std::string("Hello!!\n\0", 9));
  usleep(300000);  // a client that thinks first keeps its session: no worker's short time-out here
  ASSERT_EQ(send(fds[0], "stdio", 5, 0), 5);
  ASSERT_EQ(recv(fds[0], buf, 5, MSG_WAITALL), 5);
  EXPECT_EQ(std::string(buf, 5), "STDIO");
  ASSERT_EQ(send(fds[0], ".\r\n", 3, 0), 3);
  EXPECT_EQ(server.wait_exit(), 0);
  EXPECT_TRUE(std::regex_search(server.log(), std::regex("session local [0-9.]+s, terminator\n")))
      << "its -v line, as for any session: " << server.log();
  close(fds[0]);
}

TEST(Server, ServesAnInheritedListeningSocket) {
  int port = 0;
  const unique_fd fd(loopback_listener(port));
  ASSERT_GE(fd, 0);
  // --listen is ignored when activated.
  server_process server({"--listen", "127.0.0.1:1"}, socket_activation(fd));
  EXPECT_EQ(server.port(), port) << server.log();
  tcp_client c(port);
  EXPECT_TRUE(c.greeted());
  EXPECT_EQ(c.echo("activated"), "ACTIVATED");
  EXPECT_TRUE(c.finish());
}

TEST(Server, ListensOnIpv6Loopback) {
  server_process server({"--listen", "[::1]:0"});
  if (!server.wait_for_log("listening on") &&
      server.log().find("cannot listen") != std::string::npos) {
    GTEST_SKIP() << "no IPv6 loopback: " << server.log();
  }
  const int port = server.port();
  ASSERT_GT(port, 0);
  EXPECT_NE(server.log().find("listening on [::1]:"), std::string::npos);
  tcp_client c(port, "::1");
  EXPECT_TRUE(c.greeted());
  EXPECT_EQ(c.echo("six"), "SIX");
}

TEST(Server, ReusePortLetsTwoServersShareAPort) {
  server_process first(listen_args({"--reuse-port"}));
  const int port = first.port();
  ASSERT_GT(port, 0);
  server_process second({"--listen", "127.0.0.1:" + std::to_string(port), "--reuse-port"});
  EXPECT_EQ(second.port(), port) << second.log();
  for (int i = 0; i < 8; ++i) {  // the kernel spreads clients over both
    tcp_client c(port);
    EXPECT_TRUE(c.greeted());
    EXPECT_TRUE(c.finish());
  }
}

TEST(Server, RejectsBadUsageWithOneLineAndStatusTwo) {
  const std::vector<std::vector<std::string>> bad = {
      {"--no-such-option"},
      {"--listen", "127.0.0.1"},
      {"--listen", "name.invalid:7007"},
      {"--listen", "127.0.0.1:65536"},
      {"--listen", "[::1]:x"},
      {"--listen", "::1:7007"},
      {"--listen", "unix:"},
      {"--listen", "unix:/" + std::string(120, 'x')},
      {"--max-connections", "many"},
      {"--max-connections", "0"},
      {"--idle-timeout", "-1"},
      {"--backlog", "99999999999999999999"},
      {"--max-per-source"},
      {"stray-argument"},
      {"--stdio", "--listen", "127.0.0.1:0", "--metrics", "127.0.0.1:0"},
      {"--log-format", "xml"},
  };
  for (const auto& args : bad) {
    server_process server(args);
    EXPECT_EQ(server.wait_exit(), 2) << args[0];
    const std::string& log = server.log();
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    EXPECT_TRUE(std::regex_search(log, std::regex("^" + timestamp + "capecho-server: "))) << log;
  }
}

TEST(Server, ReportsAStartFailureWithStatusOne) {
  server_process holder(listen_args());
  const int port = holder.port();
  ASSERT_GT(port, 0);
  server_process second(
      {"--listen", "127.0.0.1:0", "--listen", "127.0.0.1:" + std::to_string(port)});
  EXPECT_EQ(second.wait_exit(), 1);
  EXPECT_NE(second.log().find("Address already in use"), std::string::npos) << second.log();
  EXPECT_EQ(second.log().find("listening on"), std::string::npos) << "nothing is half-started";
}

TEST(Server, LinesCarryTheTimeOrForTheJournalTheirPriority) {
  {
    server_process server(listen_args());
    ASSERT_GT(server.port(), 0);
    EXPECT_TRUE(std::regex_search(server.log(),
                                  std::regex("^" + timestamp + "capecho-server: listening on ")))
        << server.log();
  }
  spawn_setup journal;  // standard error is what JOURNAL_STREAM names
  journal.shell_prefix = "JOURNAL_STREAM=$(stat -L -c %d:%i /dev/stderr); export JOURNAL_STREAM;";
  {
    server_process server(listen_args(), journal);
    ASSERT_GT(server.port(), 0);
    EXPECT_EQ(server.log().rfind("<5>capecho-server: listening on ", 0), 0u) << server.log();
  }
  {
    server_process server({"--bogus"}, journal);
    EXPECT_EQ(server.wait_exit(), 2);
    EXPECT_EQ(server.log().rfind("<3>capecho-server: unknown option", 0), 0u) << server.log();
  }
  spawn_setup elsewhere;
  elsewhere.shell_prefix = "JOURNAL_STREAM=1:1; export JOURNAL_STREAM;";
  server_process server(listen_args(), elsewhere);
  ASSERT_GT(server.port(), 0);
  EXPECT_TRUE(std::regex_search(server.log(), std::regex("^" + timestamp))) << server.log();
}

TEST(Server, DocumentsItself) {
  server_process help({"--help"});
  EXPECT_EQ(help.wait_exit(), 0);
  server_process version({"--version"});
  EXPECT_EQ(version.wait_exit(), 0);
}

}  // namespace
