// capecho-server telling a service manager how it is: a Unix datagram socket
// of the test's own plays the manager.
#include <sys/socket.h>
#include <sys/un.h>

#include <gtest/gtest.h>

#include "server_process.h"
#include "tcp_client.h"
#include "unique_fd.h"

using namespace capecho_test;
using namespace std::chrono_literals;

namespace {

// A datagram socket bound to `name` (a path, or @name for the abstract
// namespace); what the server sends arrives here.
struct fake_manager {
  unique_fd fd{socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
  std::string name;
  explicit fake_manager(std::string where) : name(std::move(where)) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    memcpy(a.sun_path, name.data(), name.size());
    if (name[0] == '@') a.sun_path[0] = '\0';
    if (name[0] == '/') unlink(name.c_str());
    const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0) fd.reset();
  }
  ~fake_manager() {
    if (name[0] == '/') unlink(name.c_str());
  }
  fake_manager(const fake_manager&) = delete;
  fake_manager& operator=(const fake_manager&) = delete;

  // The next message, or "" after `limit`.
  std::string next(std::chrono::milliseconds limit = 5s) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(limit.count())) != 1) return "";
    char buf[512];
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
  }
};

spawn_setup notifying(const std::string& variables) {
  spawn_setup s;
  s.shell_prefix = variables + " export NOTIFY_SOCKET WATCHDOG_USEC WATCHDOG_PID;";
  return s;
}

TEST(Notify, ReadyWatchdogStatusAndStopping) {
  fake_manager manager("/tmp/capecho-notify-" + std::to_string(getpid()));
  ASSERT_GE(manager.fd, 0);
  server_process server(
      {"--listen", "127.0.0.1:0"},
      notifying("NOTIFY_SOCKET=" + manager.name + " WATCHDOG_USEC=200000 WATCHDOG_PID=$$;"));
  ASSERT_GT(server.port(), 0) << server.log();
  EXPECT_EQ(manager.next(), "READY=1\nSTATUS=0 sessions (limit 1024), 0 served");
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 5; ++i) EXPECT_EQ(manager.next(1s), "WATCHDOG=1") << i;
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s) << "a pet every 100 ms";
  server.signal(SIGTERM);
  std::string got;
  for (int i = 0; i < 5 && got != "STOPPING=1"; ++i) got = manager.next();
  EXPECT_EQ(got, "STOPPING=1");
  EXPECT_EQ(server.wait_exit(), 0);
}

// A worker stuck for good (here in an allocation that never returns, as it
// saves a parked session's frames) stops the pets, although the accept loop
// runs on: the manager then restarts the server. /healthz, asked all the
// while, disturbs the pets no more than they disturb it, and fails too.
TEST(Notify, AStuckWorkerStopsTheWatchdogAndFailsLiveness) {
  fake_manager manager("@capecho-stuck-" + std::to_string(getpid()));
  ASSERT_GE(manager.fd, 0);
  spawn_setup setup = notifying("NOTIFY_SOCKET=" + manager.name +
                                " WATCHDOG_USEC=200000 WATCHDOG_PID=$$ FAULT_MALLOC_HANG=1;"
                                " export FAULT_MALLOC_HANG;");
  setup.program = FAULT_PROGRAM;
  server_process server({"--listen", "127.0.0.1:0", "--workers", "1", "--metrics", "127.0.0.1:0"},
                        setup);
  const int metrics = port_after(server, "metrics on http://127.0.0.1:");
  const int port = server.port();
  ASSERT_GT(port, 0) << server.log();
  ASSERT_GT(metrics, 0) << server.log();
  const auto live = [metrics] {
    return ask(metrics, "GET /healthz HTTP/1.1\r\n\r\n").rfind("HTTP/1.0 200 OK", 0) == 0;
  };
  EXPECT_EQ(manager.next().rfind("READY=1\n", 0), 0u);
  tcp_client parked(port);
  ASSERT_TRUE(parked.greeted());
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(live()) << "a parked session";
    EXPECT_EQ(manager.next(1s), "WATCHDOG=1") << "a parked session";
  }
  tcp_client second(port);  // needs the stack: the first one's frames are saved
  bool silent = false;
  for (int i = 0; i < 100 && !silent; ++i) silent = manager.next(1s).empty();
  EXPECT_TRUE(silent) << "pets go on while the worker is stuck";
  EXPECT_FALSE(live()) << "liveness holds while the worker is stuck";
  const std::string head = ask(metrics, "HEAD /healthz HTTP/1.1\r\n\r\n");
  EXPECT_EQ(head.rfind("HTTP/1.0 503 Service Unavailable\r\n", 0), 0u) << head;
}

TEST(Notify, AbstractSocketAndAWatchdogMeantForAnotherProcess) {
  fake_manager manager("@capecho-notify-" + std::to_string(getpid()));
  ASSERT_GE(manager.fd, 0);
  server_process server(
      {"--listen", "127.0.0.1:0"},
      notifying("NOTIFY_SOCKET=" + manager.name + " WATCHDOG_USEC=100000 WATCHDOG_PID=1;"));
  ASSERT_GT(server.port(), 0) << server.log();
  EXPECT_EQ(manager.next().rfind("READY=1\n", 0), 0u);
  EXPECT_EQ(manager.next(500ms), "") << "no pets for a watchdog that is not ours";
}

TEST(Notify, AnUnusableSocketNameIsAStartFailure) {
  server_process server({"--listen", "127.0.0.1:0"}, notifying("NOTIFY_SOCKET=relative/path;"));
  EXPECT_EQ(server.wait_exit(), 1);
  EXPECT_NE(server.log().find("NOTIFY_SOCKET: 'relative/path' is not a socket path or @name"),
            std::string::npos)
      << server.log();
}

}  // namespace
