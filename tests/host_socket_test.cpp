// What the host sets on its sockets, read back with getsockopt, and how it
// finds listeners and waiting clients.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <stddef.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "events.h"
#include "listen_family.h"
#include "listeners.h"
#include "session_socket.h"
#include "unique_fd.h"

using namespace capecho;

// How much of tcp_info getsockopt gives back at most, as an older kernel's
// shorter struct would; 0: all the kernel has.
static socklen_t tcp_info_length = 0;

extern "C" int __real_getsockopt(int fd, int level, int name, void* value, socklen_t* len);
extern "C" int __wrap_getsockopt(int fd, int level, int name, void* value, socklen_t* len) {
  const int r = __real_getsockopt(fd, level, name, value, len);
  if (r == 0 && level == IPPROTO_TCP && name == TCP_INFO && tcp_info_length != 0)
    *len = std::min(*len, tcp_info_length);
  return r;
}

namespace {

int get_int(int fd, int level, int name) {
  int value = -1;
  socklen_t len = sizeof value;
  EXPECT_EQ(getsockopt(fd, level, name, &value, &len), 0) << name;
  return value;
}

timeval get_time(int fd, int name) {
  timeval value{-1, -1};
  socklen_t len = sizeof value;
  EXPECT_EQ(getsockopt(fd, SOL_SOCKET, name, &value, &len), 0);
  return value;
}

endpoint loopback_any_port() {
  endpoint e;
  failure why;
  EXPECT_TRUE(parse_endpoint("127.0.0.1:0", e, why));
  return e;
}

// A loopback TCP connection: the accepted end is what a session gets. With
// `on_listener`, the listener is prepared with it before the client connects.
struct tcp_pair {
  failure why;
  unique_fd listener{open_listener(loopback_any_port(), 8, false, why)};
  unique_fd client, accepted;
  explicit tcp_pair(const session_socket_settings* on_listener = nullptr) {
    if (on_listener != nullptr && !prepare_session_socket(listener.get(), *on_listener, why))
      return;
    endpoint bound;
    bound.length = sizeof bound.storage;
    getsockname(listener.get(), bound.addr(), &bound.length);
    client.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (connect(client.get(), bound.addr(), bound.length) != 0) return;
    for (int i = 0; i < 100 && !accepted.valid(); ++i) {
      accepted.reset(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!accepted.valid()) usleep(10000);
    }
  }
};

void expect_every_setting(int fd) {
  EXPECT_EQ(get_int(fd, IPPROTO_TCP, TCP_NODELAY), 1);
  EXPECT_EQ(get_time(fd, SO_RCVTIMEO).tv_sec, 7);
  EXPECT_EQ(get_time(fd, SO_SNDTIMEO).tv_sec, 7);
  EXPECT_EQ(get_int(fd, SOL_SOCKET, SO_SNDBUF), 2 * 32768) << "the kernel doubles what it is given";
  EXPECT_EQ(get_int(fd, SOL_SOCKET, SO_RCVBUF), 2 * 32768);
  EXPECT_EQ(get_int(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
  EXPECT_EQ(get_int(fd, IPPROTO_TCP, TCP_KEEPIDLE), 40);
  EXPECT_EQ(get_int(fd, IPPROTO_TCP, TCP_KEEPINTVL), 10);
  EXPECT_EQ(get_int(fd, IPPROTO_TCP, TCP_KEEPCNT), keepalive_probes);
}

TEST(SessionSocket, TcpSessionsGetEverySettingAsAsked) {
  const session_socket_settings settings{7, 32768, 40};
  {
    tcp_pair tcp(&settings);
    ASSERT_TRUE(tcp.accepted.valid()) << failure_text(tcp.why);
    SCOPED_TRACE("inherited from the listener, as capecho-server relies on");
    expect_every_setting(tcp.accepted.get());
  }
  tcp_pair tcp;
  ASSERT_TRUE(tcp.accepted.valid());
  const int fd = tcp.accepted.get();
  failure why;
  ASSERT_TRUE(prepare_session_socket(fd, settings, why)) << failure_text(why);
  expect_every_setting(fd);
  EXPECT_EQ(keepalive_interval(3), 1u);
  EXPECT_EQ(keepalive_interval(4), 1u);
  EXPECT_EQ(keepalive_interval(60), 15u);

  unsigned idle = 12345;
  usleep(30000);
  ASSERT_TRUE(receive_idle_ms(fd, idle));
  EXPECT_GE(idle, 20u);
  ASSERT_EQ(send(tcp.client.get(), "x", 1, 0), 1);
  usleep(20000);
  ASSERT_TRUE(receive_idle_ms(fd, idle));
  EXPECT_LT(idle, 1000u);
  uint64_t in = 9, out = 9;
  ASSERT_TRUE(transfer_totals(fd, in, out));
  EXPECT_EQ(in, 1u);
  EXPECT_EQ(out, 0u);

  // Both counts are needed whole: a tcp_info that ends before the last byte
  // of either has none.
  tcp_info_length = offsetof(tcp_info, tcpi_bytes_received) + sizeof(uint64_t);
  EXPECT_TRUE(transfer_totals(fd, in, out));
  --tcp_info_length;
  EXPECT_FALSE(transfer_totals(fd, in, out));
  EXPECT_FALSE(receive_idle_ms(fd, idle));
  tcp_info_length = 0;
}

TEST(SessionSocket, ZeroMeansLeaveItToTheKernel) {
  tcp_pair tcp;
  ASSERT_TRUE(tcp.accepted.valid());
  const int fd = tcp.accepted.get();
  const int sndbuf = get_int(fd, SOL_SOCKET, SO_SNDBUF);
  failure why;
  ASSERT_TRUE(prepare_session_socket(fd, {0, 0, 0}, why)) << failure_text(why);
  EXPECT_EQ(get_time(fd, SO_RCVTIMEO).tv_sec, 0);
  EXPECT_EQ(get_time(fd, SO_SNDTIMEO).tv_sec, 0);
  EXPECT_EQ(get_int(fd, SOL_SOCKET, SO_SNDBUF), sndbuf);
  EXPECT_EQ(get_int(fd, SOL_SOCKET, SO_KEEPALIVE), 0);
  EXPECT_EQ(get_int(fd, IPPROTO_TCP, TCP_NODELAY), 1) << "TCP_NODELAY always";
}

TEST(SessionSocket, OtherDescriptorsGetWhatTheySupportOrFailByName) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  unique_fd a(pair[0]), b(pair[1]);
  failure why;
  EXPECT_TRUE(prepare_session_socket(a.get(), {5, 16384, 60}, why)) << failure_text(why);
  EXPECT_EQ(get_time(a.get(), SO_RCVTIMEO).tv_sec, 5);
  unsigned idle = 0;
  EXPECT_FALSE(receive_idle_ms(a.get(), idle)) << "no TCP counters on a Unix socket";
  uint64_t in = 0, out = 0;
  EXPECT_FALSE(transfer_totals(a.get(), in, out));

  int p[2];
  ASSERT_EQ(pipe(p), 0);
  unique_fd r(p[0]), w(p[1]);
  EXPECT_FALSE(prepare_session_socket(r.get(), {5, 0, 0}, why));
  EXPECT_STREQ(why.call, "setsockopt SO_RCVTIMEO");
  EXPECT_EQ(failure_text(why), "setsockopt SO_RCVTIMEO: Socket operation on non-socket");
  EXPECT_FALSE(prepare_session_socket(r.get(), {0, 4096, 0}, why));
  EXPECT_STREQ(why.call, "setsockopt SO_SNDBUF");
  EXPECT_EQ(why.err, ENOTSOCK);
}

TEST(Listeners, OpenWithTheOptionsTheyNeed) {
  failure why;
  endpoint v6;
  ASSERT_TRUE(parse_endpoint("[::1]:0", v6, why));
  unique_fd six = open_listener(v6, 16, true, why);
  if (!six.valid()) GTEST_SKIP() << "no IPv6 loopback: " << failure_text(why);
  EXPECT_EQ(get_int(six.get(), IPPROTO_IPV6, IPV6_V6ONLY), 1);
  EXPECT_EQ(get_int(six.get(), SOL_SOCKET, SO_REUSEPORT), 1);
  EXPECT_EQ(get_int(six.get(), SOL_SOCKET, SO_REUSEADDR), 1);
  EXPECT_EQ(get_int(six.get(), SOL_SOCKET, SO_ACCEPTCONN), 1);
  EXPECT_NE(fcntl(six.get(), F_GETFL) & O_NONBLOCK, 0);
  EXPECT_NE(fcntl(six.get(), F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_EQ(local_name(six.get()).rfind("[::1]:", 0), 0u);

  unique_fd four = open_listener(loopback_any_port(), 16, false, why);
  ASSERT_TRUE(four.valid()) << failure_text(why);
  EXPECT_EQ(get_int(four.get(), SOL_SOCKET, SO_REUSEPORT), 0);

  endpoint taken;
  taken.length = sizeof taken.storage;
  getsockname(four.get(), taken.addr(), &taken.length);
  unique_fd clash = open_listener(taken, 16, false, why);
  EXPECT_FALSE(clash.valid());
  EXPECT_EQ(failure_text(why), "bind: Address already in use");
}

// [::]:P on a system without IPv6 is skipped while 0.0.0.0:P is listened on;
// with no address of a family the system has, nothing is skipped and the
// start fails by name. Families past any kernel's last stand for the missing.
TEST(Listeners, SkipAFamilyTheSystemLacksOnlyForAnotherItHas) {
  const endpoint four = loopback_any_port();
  endpoint missing, also_missing;
  missing.storage.ss_family = 200;
  also_missing.storage.ss_family = 201;
  EXPECT_TRUE(family_missing(missing, {missing, four}));
  EXPECT_FALSE(family_missing(missing, {missing}));
  EXPECT_FALSE(family_missing(missing, {missing, also_missing}));
  EXPECT_FALSE(family_missing(four, {four, missing}));
}

TEST(Listeners, CountClientsWaitingToBeAccepted) {
  failure why;
  unique_fd l = open_listener(loopback_any_port(), 16, false, why);
  ASSERT_TRUE(l.valid()) << failure_text(why);
  EXPECT_EQ(pending_connections(l.get()), 0u);
  endpoint at;
  at.length = sizeof at.storage;
  getsockname(l.get(), at.addr(), &at.length);
  std::vector<unique_fd> clients;
  for (int i = 0; i < 3; ++i) {
    clients.emplace_back(socket(AF_INET, SOCK_STREAM, 0));
    ASSERT_EQ(connect(clients.back().get(), at.addr(), at.length), 0);
  }
  EXPECT_EQ(pending_connections(l.get()), 3u);
  unique_fd one(accept(l.get(), nullptr, nullptr));
  EXPECT_EQ(pending_connections(l.get()), 2u);
}

TEST(Listeners, TakeInheritedSocketsOnlyWhenTheyAreForThisProcess) {
  std::vector<unique_fd> fds;
  failure why;
  setenv("LISTEN_PID", "1", 1);
  setenv("LISTEN_FDS", "1", 1);
  EXPECT_TRUE(inherited_listeners(fds, why));
  EXPECT_TRUE(fds.empty());
  EXPECT_NE(getenv("LISTEN_FDS"), nullptr) << "another process's variables are left alone";

  // Descriptor 3 of this process is whatever the test runner left there, so
  // name it through a listener moved onto a known number.
  unique_fd l = open_listener(loopback_any_port(), 4, false, why);
  ASSERT_TRUE(l.valid());
  unique_fd saved(fcntl(3, F_DUPFD_CLOEXEC, 10));  // -1 when 3 was free
  ASSERT_EQ(dup2(l.get(), 3), 3);
  setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
  setenv("LISTEN_FDNAMES", "x", 1);
  EXPECT_TRUE(inherited_listeners(fds, why)) << failure_text(why);
  ASSERT_EQ(fds.size(), 1u);
  EXPECT_EQ(fds[0].get(), 3);
  EXPECT_NE(fcntl(3, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_EQ(getenv("LISTEN_PID"), nullptr) << "used variables are not passed on";
  EXPECT_EQ(getenv("LISTEN_FDS"), nullptr);
  EXPECT_EQ(getenv("LISTEN_FDNAMES"), nullptr);
  fds[0].release();

  setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
  setenv("LISTEN_FDS", "two", 1);
  EXPECT_FALSE(inherited_listeners(fds, why));
  EXPECT_EQ(failure_text(why), "LISTEN_FDS: 'two' is not a number of descriptors");

  int p[2];
  ASSERT_EQ(pipe(p), 0);
  ASSERT_EQ(dup2(p[0], 3), 3);
  close(p[0]);
  close(p[1]);
  setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
  setenv("LISTEN_FDS", "1", 1);
  EXPECT_FALSE(inherited_listeners(fds, why));
  EXPECT_EQ(failure_text(why), "inherited descriptor 3 is not a listening stream socket");
  if (saved.valid())
    dup2(saved.get(), 3);
  else
    close(3);
}

}  // namespace

namespace {

bool is_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

TEST(UniqueFd, ClosesWhatItOwnsDescriptorZeroIncludedAndNothingItHandedOver) {
  const unique_fd saved_stdin(fcntl(0, F_DUPFD_CLOEXEC, 10));
  ASSERT_TRUE(saved_stdin.valid());
  int p[2];
  ASSERT_EQ(close(0), 0);
  ASSERT_EQ(pipe(p), 0);
  ASSERT_EQ(p[0], 0) << "the lowest free number";
  {
    unique_fd zero(0);
    const unique_fd moved(std::move(zero));  // closed once, by its last owner
    EXPECT_EQ(moved.get(), 0);
    EXPECT_TRUE(moved.valid()) << "descriptor 0 is a descriptor like any other";
  }
  EXPECT_FALSE(is_open(0));
  {
    unique_fd kept(p[1]);
    EXPECT_EQ(kept.release(), p[1]);
  }
  EXPECT_TRUE(is_open(p[1]));
  close(p[1]);
  ASSERT_EQ(dup2(saved_stdin.get(), 0), 0);
}

}  // namespace
