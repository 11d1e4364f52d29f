// capecho-server under the attacks an internet-facing daemon meets on its
// first day, and with the system saying no: the real binary on loopback,
// other hosts played by clients bound to 127.0.0.x.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "instrumented.h"
#include "server_process.h"
#include "tcp_client.h"
#include "unique_fd.h"

using namespace capecho_test;
using namespace std::chrono_literals;

namespace {

using clock_type = std::chrono::steady_clock;

// A client from 127.0.0.3 that sends a chunk every 300 ms for as long as it
// runs, and counts every echo that did not come back right.
class active_client {
 public:
  explicit active_client(int port) : client_(port, "127.0.0.1", 5000, "127.0.0.3") {
    ok_ = client_.greeted();
    thread_ = std::thread([this] {
      for (int i = 0; !stop_; ++i) {
        const std::string chunk = "still here " + std::to_string(i);
        if (client_.echo(chunk) != "STILL HERE " + std::to_string(i)) ++failures_;
        ++echoes_;
        std::this_thread::sleep_for(300ms);
      }
    });
  }
  ~active_client() { finish(); }
  active_client(const active_client&) = delete;
  active_client& operator=(const active_client&) = delete;

  // True when every echo came back and the session ends normally.
  bool finish() {
    if (thread_.joinable()) {
      stop_ = true;
      thread_.join();
      ok_ = ok_ && failures_ == 0 && echoes_ > 0 && client_.finish();
    }
    return ok_;
  }

 private:
  tcp_client client_;
  std::atomic<bool> stop_{false};
  std::atomic<int> failures_{0};
  std::atomic<int> echoes_{0};
  bool ok_ = false;
  std::thread thread_;
};

// How long a newcomer from 127.0.0.1 waits for its greeting, and whether its
// session then works; -1 s when it never gets one.
std::chrono::milliseconds newcomer_served_after(int port) {
  const auto start = clock_type::now();
  tcp_client newcomer(port, "127.0.0.1", 10000);
  if (!newcomer.greeted()) return -1s;
  const auto waited =
      std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - start);
  if (newcomer.echo("let me in") != "LET ME IN" || !newcomer.finish()) return -1s;
  return waited;
}

TEST(Hostile, OneHostHoardingIdleConnectionsCannotLockOthersOut) {
  server_process server(listen_args({"--max-connections", "20"}));
  const int port = server.port();
  ASSERT_GT(port, 0) << server.log();
  active_client active(port);
  std::vector<std::unique_ptr<tcp_client>> hoard;
  for (int i = 0; i < 30; ++i)  // 19 slots taken, 11 more waiting in the backlog
    hoard.push_back(std::make_unique<tcp_client>(port, "127.0.0.1", 5000, "127.0.0.2"));
  ASSERT_TRUE(server.wait_for_log("connection limit of 20 reached"));

  const auto waited = newcomer_served_after(port);
  EXPECT_GE(waited, 0ms) << server.log();
  EXPECT_LT(waited, 5000ms) << "served within seconds, not after the idle time-out";
  EXPECT_TRUE(active.finish()) << "a session exchanging data is never ended";
  EXPECT_TRUE(server.wait_for_log("overload protection ended")) << server.log();
}

TEST(Hostile, ManyHostsDrippingBytesCannotLockOthersOut) {
  server_process server(listen_args({"--max-connections", "20", "--idle-timeout", "3"}));
  const int port = server.port();
  ASSERT_GT(port, 0) << server.log();
  active_client active(port);
  std::vector<std::unique_ptr<tcp_client>> drippers;
  for (int i = 0; i < 24; ++i) {
    const std::string source = "127.0.0." + std::to_string(10 + i % 6);
    drippers.push_back(std::make_unique<tcp_client>(port, "127.0.0.1", 5000, source.c_str()));
  }
  // One byte from each every 2 s, spread evenly: never idle long enough for
  // the idle time-out.
  std::atomic<bool> stop{false};
  std::thread drip([&] {
    for (size_t i = 0; !stop; ++i) {
      drippers[i % drippers.size()]->send_all("x");
      std::this_thread::sleep_for(2000ms / drippers.size());
    }
  });
  std::this_thread::sleep_for(2500ms);
  const auto waited = newcomer_served_after(port);
  stop = true;
  drip.join();
  EXPECT_GE(waited, 0ms) << server.log();
  EXPECT_LT(waited, 5000ms);
  EXPECT_TRUE(active.finish()) << "a session exchanging data is never ended";
}

TEST(Hostile, OverloadProtectionEndsOnlyAsManyAsWait) {
  server_process server(listen_args({"--max-connections", "3", "--overload-idle", "300"}));
  const int port = server.port();
  ASSERT_GT(port, 0) << server.log();
  std::vector<std::unique_ptr<tcp_client>> idle;
  for (int i = 0; i < 3; ++i) {
    idle.push_back(std::make_unique<tcp_client>(port));
    ASSERT_TRUE(idle.back()->greeted());
  }
  EXPECT_GE(newcomer_served_after(port), 0ms);
  int still_served = 0;
  for (auto& c : idle) still_served += c->echo("ok") == "OK";
  EXPECT_EQ(still_served, 2) << "one idle session made room for the one newcomer";
  server.signal(SIGUSR1);
  EXPECT_TRUE(server.wait_for_log("1 ended by overload protection")) << server.log();
}

// Switched off, nothing makes room but the idle time-out: the waiting client
// is served no sooner than a time-out after the others last spoke, which was
// after they connected. Overload protection would have served it after 1.5 s.
TEST(Hostile, OverloadProtectionCanBeSwitchedOff) {
  server_process server(
      listen_args({"--max-connections", "2", "--overload-idle", "0", "--idle-timeout", "4"}));
  const int port = server.port();
  ASSERT_GT(port, 0) << server.log();
  const auto connected = clock_type::now();
  tcp_client a(port), b(port);
  ASSERT_TRUE(a.greeted());
  ASSERT_TRUE(b.greeted());
  tcp_client waiting(port, "127.0.0.1", 20000);
  EXPECT_TRUE(waiting.greeted()) << "the idle time-out still frees slots";
  EXPECT_GE(clock_type::now() - connected, 4s) << "no session is ended to make room";
  EXPECT_EQ(server.log().find("overload protection"), std::string::npos);
}

TEST(Hostile, AStalledLogReaderNeverFreezesServing) {
  spawn_setup small_pipe;
  small_pipe.stderr_pipe_bytes = 4096;
  server_process server(listen_args({"--verbose", "--shutdown-grace", "1"}), small_pipe);
  const int port = server.port();
  ASSERT_GT(port, 0) << server.log();
  auto sessions = [port](int n) {
    for (int i = 0; i < n; ++i) {
      tcp_client c(port, "127.0.0.1", 3000);
      if (!c.greeted() || !c.finish()) return false;
    }
    return true;
  };
  EXPECT_TRUE(sessions(600)) << "each session logs a line no one reads";
  auto session_lines = [&server] {
    size_t n = 0;
    for (size_t at = 0; (at = server.log().find(" session 127.0.0.1:", at)) != std::string::npos;
         ++at)
      ++n;
    return n;
  };
  EXPECT_TRUE(eventually([&] {
    server.wait_for_log("never logged", 20ms);
    return session_lines() == 600;
  })) << "reading again, the reader gets every line it missed: "
      << session_lines();

  EXPECT_TRUE(sessions(600));
  tcp_client open(port);
  ASSERT_TRUE(open.greeted());
  server.signal(SIGTERM);
  EXPECT_TRUE(open.closed_by_server());
  EXPECT_EQ(server.wait_exit(6s, false), 0) << "stops within the grace, reader or not";
}

// CPU time the process has used so far, user and system.
std::chrono::milliseconds cpu_time(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string skip;
  for (int i = 0; i < 11; ++i) fields >> skip;  // state ... cmajflt
  long long user = 0, system = 0;
  fields >> user >> system;
  return std::chrono::milliseconds((user + system) * 1000 / sysconf(_SC_CLK_TCK));
}

TEST(Hostile, ALogReaderThatLeavesCostsNothing) {
  server_process server(listen_args({"--verbose"}));
  const int port = server.port();
  ASSERT_GT(port, 0) << server.log();
  server.close_log();
  for (int i = 0; i < 20; ++i) {  // lines that can no longer be written anywhere
    tcp_client c(port);
    ASSERT_TRUE(c.greeted());
    ASSERT_TRUE(c.finish());
  }
  const auto before = cpu_time(server.pid());
  std::this_thread::sleep_for(1s);
  EXPECT_LT(cpu_time(server.pid()) - before, 200ms) << "the log writer must not spin";
  tcp_client still(port);
  EXPECT_TRUE(still.greeted());
  EXPECT_TRUE(still.finish());
  server.signal(SIGTERM);
  EXPECT_EQ(server.wait_exit(5s, false), 0);
}

TEST(Hostile, ClosedStandardDescriptorsNeverReachAClient) {
  int port = 0;
  const unique_fd fd(loopback_listener(port));
  ASSERT_GE(fd, 0);
  server_process server({"--verbose"}, socket_activation(fd, " exec 0<&- 1>&- 2>&-;"));

  std::vector<std::unique_ptr<tcp_client>> early;
  for (int i = 0; i < 3; ++i) {
    early.push_back(std::make_unique<tcp_client>(port));
    ASSERT_TRUE(early.back()->greeted()) << i;
  }
  tcp_client logged(port);  // its end is logged with --verbose
  ASSERT_TRUE(logged.greeted());
  ASSERT_TRUE(logged.finish());
  for (auto& c : early) {
    EXPECT_TRUE(nothing_arrives(c->fd(), 200)) << "no log line on a client's connection";
    EXPECT_EQ(c->echo("mine"), "MINE");
  }
}

TEST(Hostile, SignalsHupAndUsr2AreIgnoredUsr1ReportsQuitStopsAtOnce) {
  server_process server(listen_args({"--shutdown-grace", "600"}));
  const int port = server.port();
  ASSERT_GT(port, 0) << server.log();
  tcp_client c(port);
  ASSERT_TRUE(c.greeted());
  server.signal(SIGHUP);
  EXPECT_TRUE(server.wait_for_log("SIGHUP received; ignored"));
  server.signal(SIGUSR2);
  EXPECT_TRUE(server.wait_for_log("SIGUSR2 received; ignored"));
  EXPECT_EQ(c.echo("alive"), "ALIVE");
  server.signal(SIGUSR1);
  EXPECT_TRUE(server.wait_for_log(
      "status: 1 session (limit 1024, peak 1), 1 served, limit reached 0 times, 0 ended by "
      "overload protection, 0 log lines dropped"))
      << server.log();
  server.signal(SIGQUIT);
  EXPECT_TRUE(c.closed_by_server()) << "no grace after SIGQUIT";
  EXPECT_EQ(server.wait_exit(5s), 0);
  EXPECT_NE(server.log().find("SIGQUIT received"), std::string::npos);
}

TEST(Hostile, StdioServesOnlyAConnectedStreamSocket) {
  char path[] = "/tmp/capecho-stdio-XXXXXX";
  unique_fd file(mkstemp(path));
  ASSERT_TRUE(file >= 0);
  unlink(path);
  ASSERT_EQ(write(file, "untouched", 9), 9);
  ASSERT_EQ(lseek(file, 0, SEEK_SET), 0);
  unique_fd unconnected(socket(AF_INET, SOCK_STREAM, 0));
  unique_fd datagram(socket(AF_INET, SOCK_DGRAM, 0));
  const std::pair<int, const char*> cases[] = {
      {file, "--stdio: standard input is not a socket"},
      {unconnected, "--stdio: standard input is not a connected socket"},
      {datagram, "--stdio: standard input is not a stream socket"},
  };
  for (const auto& [fd, message] : cases) {
    spawn_setup on_stdin;
    on_stdin.stdin_fd = fd;
    server_process server({"--stdio"}, on_stdin);
    EXPECT_EQ(server.wait_exit(), 1) << message;
    EXPECT_NE(server.log().find(message), std::string::npos) << server.log();
    EXPECT_EQ(std::count(server.log().begin(), server.log().end(), '\n'), 1) << server.log();
  }
  char content[16] = {};
  EXPECT_EQ(pread(file, content, sizeof content, 0), 9);
  EXPECT_STREQ(content, "untouched");
}

TEST(Hostile, ListenPidOfAnotherProcessIsNotedAndListenUsed) {
  spawn_setup other;
  other.shell_prefix = "LISTEN_FDS=1 LISTEN_PID=1; export LISTEN_FDS LISTEN_PID;";
  server_process server(listen_args(), other);
  const int port = server.port();
  ASSERT_GT(port, 0) << server.log();
  EXPECT_NE(server.log().find("LISTEN_PID is 1, not this process"), std::string::npos);
  tcp_client c(port);
  EXPECT_TRUE(c.greeted());
}

spawn_setup faulty(const std::string& faults) {
  spawn_setup s;
  s.program = FAULT_PROGRAM;
  s.shell_prefix = faults +
                   " export FAULT_THREADS FAULT_ALLOCS FAULT_EVENTFD FAULT_MALLOCS FAULT_EPOLL_CTL "
                   "FAULT_WORKER_THREADS FAULT_EPOLL_WAIT FAULT_MALLOC_HANG;";
  return s;
}

TEST(Hostile, AThreadThatCannotStartLeavesTheClientWaitingNotClosed) {
  server_process server(listen_args({"--thread-cache", "0"}),
                        faulty("FAULT_THREADS=4 FAULT_ALLOCS=0 FAULT_EVENTFD=0;"));
  const int port = server.port();
  ASSERT_GT(port, 0) << server.log();
  tcp_client c(port);
  EXPECT_TRUE(c.greeted()) << server.log();
  EXPECT_EQ(c.echo("patient"), "PATIENT");
  EXPECT_TRUE(server.wait_for_log(
      "cannot start a thread (pthread_create: Resource temporarily unavailable); clients wait"));
}

// Two of three workers never start: every session goes to the one that did,
// none to a worker without a thread to run it.
TEST(Hostile, SessionsGoOnlyToWorkersThatStarted) {
  server_process server(listen_args({"--workers", "3"}),
                        faulty("FAULT_THREADS=0 FAULT_ALLOCS=0 FAULT_EVENTFD=0 "
                               "FAULT_WORKER_THREADS=1;"));
  const int port = server.port();
  ASSERT_GT(port, 0) << server.log();
  tcp_client a(port);
  tcp_client b(port);
  ASSERT_TRUE(a.greeted()) << server.log();
  ASSERT_TRUE(b.greeted()) << server.log();
  EXPECT_EQ(a.echo("side"), "SIDE");
  EXPECT_EQ(b.echo("by side"), "BY SIDE");
  EXPECT_TRUE(a.finish());
  EXPECT_TRUE(b.finish());
  EXPECT_NE(server.log().find("cannot start a thread (pthread_create: Resource temporarily "
                              "unavailable); clients wait until one starts"),
            std::string::npos)
      << server.log();
  // The two that fail hold no descriptor or stack while they wait to be
  // tried again, however often that is.
  EXPECT_EQ(descriptors_linked_to(server.pid(), "anon_inode:[eventpoll]"), 1);
  const size_t maps = mappings_of(server.pid());
  // They are tried again as clients come, at most every 100 ms, and said
  // once a second.
  for (int i = 0; i < 100 && !server.wait_for_log("more like it)", 50ms); ++i) {
    tcp_client c(port);
    EXPECT_TRUE(c.greeted());
  }
  ASSERT_NE(server.log().find("more like it)"), std::string::npos) << server.log();
  size_t said = 0;
  for (size_t at = 0; (at = server.log().find("cannot start a thread", at)) != std::string::npos;
       ++at)
    ++said;
  EXPECT_EQ(said, 2U) << "once a second: " << server.log();
  // The sanitizers map shadow memory as the server touches more of its own.
  if (!instrumented) {
    EXPECT_LT(mappings_of(server.pid()), maps + 4);
  }
}

TEST(Hostile, AFailedAllocationCostsOneConnectionAtMost) {
  server_process server(listen_args(), faulty("FAULT_THREADS=0 FAULT_ALLOCS=1 FAULT_EVENTFD=0;"));
  const int port = server.port();
  ASSERT_GT(port, 0) << server.log();
  {
    tcp_client unlucky(port);
    EXPECT_TRUE(unlucky.closed_by_server());
  }
  EXPECT_TRUE(server.wait_for_log("out of memory; not accepting for a moment"));
  tcp_client next(port);
  EXPECT_TRUE(next.greeted());
  EXPECT_EQ(next.echo("fine"), "FINE");
  EXPECT_TRUE(next.finish());
  server.signal(SIGTERM);
  EXPECT_EQ(server.wait_exit(), 0) << server.log();
}

// One worker, so that every new session needs the stack a parked one has.
// The first parked session's frames cannot be saved: it alone ends, and the
// sessions after it are served. Then the next session's socket cannot be
// registered: it alone ends too.
TEST(Hostile, NoMemoryForFramesOrNoRegistrationCostsThatSessionAlone) {
  server_process server(listen_args({"--workers", "1"}),
                        faulty("FAULT_THREADS=0 FAULT_ALLOCS=0 FAULT_EVENTFD=0 FAULT_MALLOCS=1 "
                               "FAULT_EPOLL_CTL=0;"));
  const int port = server.port();
  ASSERT_GT(port, 0) << server.log();
  tcp_client unlucky(port);
  ASSERT_TRUE(unlucky.greeted());  // then parked, waiting for a chunk
  tcp_client next(port);
  ASSERT_TRUE(next.greeted()) << server.log();
  EXPECT_TRUE(unlucky.closed_by_server()) << "its frames could not be saved";
  EXPECT_TRUE(
      server.wait_for_log("out of memory for a parked session's frames; that session ended"))
      << "and that is said";
  tcp_client third(port);
  ASSERT_TRUE(third.greeted());
  EXPECT_EQ(next.echo("one"), "ONE");
  EXPECT_EQ(third.echo("two"), "TWO");
  EXPECT_EQ(next.echo("three"), "THREE") << "frames saved and restored again";
  EXPECT_TRUE(third.finish());
  EXPECT_TRUE(next.finish());
  server.signal(SIGTERM);
  EXPECT_EQ(server.wait_exit(), 0) << server.log();

  server_process unregistered(listen_args({"--workers", "1"}),
                              faulty("FAULT_THREADS=0 FAULT_ALLOCS=0 FAULT_EVENTFD=0 "
                                     "FAULT_MALLOCS=0 FAULT_EPOLL_CTL=1;"));
  const int port2 = unregistered.port();
  ASSERT_GT(port2, 0) << unregistered.log();
  tcp_client unwatched(port2);
  EXPECT_TRUE(unwatched.greeted());
  EXPECT_TRUE(unwatched.closed_by_server()) << "it could never be woken";
  EXPECT_TRUE(unregistered.wait_for_log(
      "epoll_ctl: Cannot allocate memory; a session that could not be watched ended"));
  tcp_client watched(port2);
  EXPECT_TRUE(watched.greeted());
  EXPECT_EQ(watched.echo("fine"), "FINE");
  EXPECT_TRUE(watched.finish());

  // A version 2 PROXY header longer than the reader's own buffer, padded
  // with a no-op TLV, for which there is no memory the first time.
  server_process proxied(
      listen_args({"--workers", "1", "--proxy-protocol", "--trusted-proxy", "127.0.0.0/8"}),
      faulty("FAULT_THREADS=0 FAULT_ALLOCS=0 FAULT_EVENTFD=0 FAULT_MALLOCS=1 "
             "FAULT_EPOLL_CTL=0;"));
  const int port3 = proxied.port();
  ASSERT_GT(port3, 0) << proxied.log();
  const std::string padding(400, '\0');
  std::string header("\r\n\r\n\0\r\nQUIT\n\x21\x11", 14);
  const size_t rest = 12 + 3 + padding.size();
  header += static_cast<char>(rest >> 8);
  header += static_cast<char>(rest & 0xff);
  header += std::string("\x7f\0\0\x09\x7f\0\0\x01\x30\x39\x1b\x5f", 12);
  header += std::string("\x04", 1);
  header += static_cast<char>(padding.size() >> 8);
  header += static_cast<char>(padding.size() & 0xff);
  header += padding;
  tcp_client long_header(port3);
  ASSERT_TRUE(long_header.send_all(header));
  EXPECT_TRUE(long_header.closed_by_server()) << "no memory for its header";
  EXPECT_TRUE(proxied.wait_for_log(
      "no valid PROXY header: malloc: Cannot allocate memory; connection closed"))
      << proxied.log();
  tcp_client again(port3);
  ASSERT_TRUE(again.send_all(header));
  EXPECT_TRUE(again.greeted()) << proxied.log();
  EXPECT_EQ(again.echo("fine"), "FINE");
  EXPECT_TRUE(again.finish());

  // A session waiting for its header whose frames cannot be saved is lost
  // for memory, not late.
  server_process header_lost(
      listen_args({"--workers", "1", "--proxy-protocol", "--trusted-proxy", "127.0.0.0/8"}),
      faulty("FAULT_THREADS=0 FAULT_ALLOCS=0 FAULT_EVENTFD=0 FAULT_MALLOCS=1 "
             "FAULT_EPOLL_CTL=0;"));
  const int port4 = header_lost.port();
  ASSERT_GT(port4, 0) << header_lost.log();
  tcp_client waiting(port4);
  ASSERT_TRUE(nothing_arrives(waiting.fd(), 100));
  tcp_client after(port4);
  ASSERT_TRUE(after.send_all("PROXY UNKNOWN\r\n"));
  EXPECT_TRUE(after.greeted());
  EXPECT_TRUE(waiting.closed_by_server());
  EXPECT_TRUE(header_lost.wait_for_log(
      "no valid PROXY header: malloc: Cannot allocate memory; connection closed"))
      << header_lost.log();
  EXPECT_EQ(header_lost.log().find("none whole within"), std::string::npos) << header_lost.log();
}

// One worker, so that its session parks and the worker waits for it.
TEST(Hostile, AFailedWaitForSessionsIsLoggedAndRetriedLosingNone) {
  server_process server(listen_args({"--workers", "1"}),
                        faulty("FAULT_THREADS=0 FAULT_ALLOCS=0 FAULT_EVENTFD=0 "
                               "FAULT_EPOLL_WAIT=1;"));
  const int port = server.port();
  ASSERT_GT(port, 0) << server.log();
  tcp_client c(port);
  ASSERT_TRUE(c.greeted());
  EXPECT_TRUE(server.wait_for_log("capecho-server: epoll_wait: Invalid argument; retrying\n"))
      << server.log();
  EXPECT_EQ(c.echo("still here"), "STILL HERE");
  EXPECT_TRUE(c.finish());

  // A wait that keeps failing is retried after a pause, not in a spin, and
  // logged once a second. At the stop the worker never sees its session's
  // socket shut: the session is ended all the same, and freed.
  server_process stuck(listen_args({"--workers", "1", "--shutdown-grace", "0", "--verbose"}),
                       faulty("FAULT_THREADS=0 FAULT_ALLOCS=0 FAULT_EVENTFD=0 "
                              "FAULT_EPOLL_WAIT=1000000000;"));
  const int stuck_port = stuck.port();
  ASSERT_GT(stuck_port, 0) << stuck.log();
  tcp_client parked(stuck_port);
  ASSERT_TRUE(parked.greeted());
  const std::string repeated = "epoll_wait: Invalid argument; retrying (";
  ASSERT_TRUE(stuck.wait_for_log(repeated)) << stuck.log();
  const long retries =
      strtol(stuck.log().c_str() + stuck.log().find(repeated) + repeated.size(), nullptr, 10);
  EXPECT_GT(retries, 0);
  EXPECT_LT(retries, 100) << "a second of retries with a pause between them";
  stuck.signal(SIGTERM);
  EXPECT_EQ(stuck.wait_exit(), 0) << stuck.log();
  EXPECT_NE(stuck.log().find("session 127.0.0.1:"), std::string::npos)
      << "the parked session ended as sessions do\n"
      << stuck.log();
}

TEST(Hostile, NoWakeUpDescriptorIsAStartFailure) {
  server_process server(listen_args(), faulty("FAULT_THREADS=0 FAULT_ALLOCS=0 FAULT_EVENTFD=1;"));
  EXPECT_EQ(server.wait_exit(), 1);
  EXPECT_NE(server.log().find("capecho-server: eventfd: Too many open files"), std::string::npos)
      << server.log();
  EXPECT_EQ(server.log().find("listening on"), std::string::npos);
}

}  // namespace
