// What joining echoes costs in system calls, counted by wrapping them
// (-Wl,--wrap) in this binary: nothing for small chunks, one question to the
// kernel when a stream begins, and reads interrupted on the way still count.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>

#include <atomic>

#include <gtest/gtest.h>

#include "session_helpers.h"

extern "C" int __real_ioctl(int fd, unsigned long request, void* arg);
extern "C" int __real_getsockopt(int fd, int level, int name, void* value, socklen_t* len);
extern "C" int __real_setsockopt(int fd, int level, int name, const void* value, socklen_t len);
extern "C" ssize_t __real_recvmsg(int fd, msghdr* msg, int flags);
extern "C" ssize_t __real_send(int fd, const void* buf, size_t len, int flags);

namespace {

std::atomic<int> watched{-1};  // the session's descriptor
std::atomic<int> ioctls{0}, option_calls{0}, recvmsgs{0}, held_sends{0};
std::atomic<bool> no_tcp_inq{false};  // as on a kernel without TCP_INQ

bool on_session(int fd) { return fd == watched.load(); }

}  // namespace

extern "C" int __wrap_ioctl(int fd, unsigned long request, void* arg) {
  if (on_session(fd)) ++ioctls;
  return __real_ioctl(fd, request, arg);
}

extern "C" int __wrap_getsockopt(int fd, int level, int name, void* value, socklen_t* len) {
  if (on_session(fd)) ++option_calls;
  if (on_session(fd) && no_tcp_inq && level == IPPROTO_TCP && name == TCP_INQ) {
    errno = ENOPROTOOPT;
    return -1;
  }
  return __real_getsockopt(fd, level, name, value, len);
}

extern "C" int __wrap_setsockopt(int fd, int level, int name, const void* value, socklen_t len) {
  if (on_session(fd)) ++option_calls;
  return __real_setsockopt(fd, level, name, value, len);
}

// Every other read on the session is interrupted before it takes anything.
extern "C" ssize_t __wrap_recvmsg(int fd, msghdr* msg, int flags) {
  if (on_session(fd) && recvmsgs++ % 2 == 0) {
    errno = EINTR;
    return -1;
  }
  return __real_recvmsg(fd, msg, flags);
}

extern "C" ssize_t __wrap_send(int fd, const void* buf, size_t len, int flags) {
  if (on_session(fd) && (flags & MSG_MORE) != 0) ++held_sends;
  return __real_send(fd, buf, len, flags);
}

namespace {

using namespace capecho_test;

// A loopback TCP pair whose server end the wrappers watch, counts reset.
struct tcp_session : tcp_pair {
  tcp_session() {
    ioctls = option_calls = recvmsgs = held_sends = 0;
    no_tcp_inq = false;
    watched = server.get();
  }
  ~tcp_session() { watched = -1; }
  tcp_session(const tcp_session&) = delete;
  tcp_session& operator=(const tcp_session&) = delete;
};

TEST(CoalescingCost, SmallChunksPayNoExtraSystemCall) {
  tcp_session tcp;
  ASSERT_GE(tcp.server, 0);
  {
    served session(tcp.server);
    ASSERT_EQ(read_exactly(tcp.client, 9), greeting);
    for (int i = 0; i < 50; ++i) {
      ASSERT_TRUE(send_record(tcp.client, "ping\r\n"));
      ASSERT_EQ(read_exactly(tcp.client, 6), "PING\r\n");
    }
    ASSERT_TRUE(send_record(tcp.client, ".\r\n"));
    EXPECT_TRUE(session.wait_done(patience));
  }
  EXPECT_EQ(ioctls, 0);
  EXPECT_EQ(option_calls, 0);
  EXPECT_EQ(held_sends, 0);
}

// Streams 256 KiB through a session and ends it with end of stream.
void stream_through(tcp_session& tcp) {
  served session(tcp.server);
  ASSERT_EQ(read_exactly(tcp.client, 9), greeting);
  std::string input(size_t{256} * 1024, 'q');
  for (size_t i = 0; i < input.size(); i += 7) input[i] = '-';
  std::thread writer([&] { EXPECT_TRUE(send_record(tcp.client, input)); });
  EXPECT_EQ(read_exactly(tcp.client, input.size()), ascii_upper(input));
  writer.join();
  ASSERT_EQ(shutdown(tcp.client, SHUT_WR), 0);
  EXPECT_TRUE(session.wait_done(patience));
}

TEST(CoalescingCost, AStreamAsksOnceThenLearnsFromEveryRead) {
  tcp_session tcp;
  ASSERT_GE(tcp.server, 0);
  stream_through(tcp);
  EXPECT_EQ(ioctls, 1) << "only for the first full chunk, read before TCP_INQ was on";
  EXPECT_GT(recvmsgs, 2) << "later reads report what they left behind";
  EXPECT_GT(held_sends, 0) << "echoes were joined";
  EXPECT_LE(option_calls, 4) << "TCP_CORK and TCP_INQ looked at once, TCP_INQ set and reset";
}

TEST(CoalescingCost, WithoutTcpInqItAsksAfterEachFullChunk) {
  tcp_session tcp;
  ASSERT_GE(tcp.server, 0);
  no_tcp_inq = true;
  stream_through(tcp);
  EXPECT_GT(ioctls, 2);
  EXPECT_EQ(recvmsgs, 0);
  EXPECT_GT(held_sends, 0) << "echoes were joined all the same";
  EXPECT_LE(option_calls, 3) << "decided once, at the first full chunk";
}

}  // namespace
