// Echoes joined while a client streams: over real loopback TCP, every byte
// comes back in order, nothing is left held when the session ends, and the
// host's socket options are left as they were.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <termios.h>

#include <gtest/gtest.h>

#include "session_helpers.h"
#include "unique_fd.h"

using namespace capecho_test;
using namespace std::chrono_literals;

namespace {

// A held echo would wait for the kernel's 200 ms cork time-out.
constexpr auto prompt = 100ms;

int tcp_option(int fd, int name) {
  int value = -1;
  socklen_t len = sizeof value;
  EXPECT_EQ(getsockopt(fd, IPPROTO_TCP, name, &value, &len), 0);
  return value;
}

void set_tcp_option(int fd, int name, int value) {
  ASSERT_EQ(setsockopt(fd, IPPROTO_TCP, name, &value, sizeof value), 0);
}

std::string letters(size_t n, unsigned seed) {
  std::string s(n, ' ');
  for (char& c : s) c = static_cast<char>("aBc.\r\nxyZ 09"[rand_r(&seed) % 12]);
  return s;
}

// Sends `input` in one write and times how long `want` bytes of echo take.
std::chrono::microseconds echo_time(int fd, const std::string& input, size_t want,
                                    std::string& echo) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(send_record(fd, input));
  echo = read_exactly(fd, want);
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                               start);
}

TEST(Coalescing, StreamedChunksComeBackWholeAndInOrderAndMessagesAtOnce) {
  tcp_pair tcp;
  ASSERT_GE(tcp.server, 0);
  set_tcp_option(tcp.server, TCP_NODELAY, 1);  // as capecho-server sets it
  served session(tcp.server);
  ASSERT_EQ(read_exactly(tcp.client, 9), greeting);
  for (size_t size : {1024u, 1500u, 2048u, 5000u, 64u * 1024 + 3}) {
    const std::string input = letters(size, static_cast<unsigned>(size));
    std::string echo;
    const auto took = echo_time(tcp.client, input, input.size(), echo);
    EXPECT_EQ(echo, ascii_upper(input)) << size;
    EXPECT_LT(took, prompt) << size << " bytes: the last echo of a message is never held";
  }
  // A writer that keeps the server's buffer full all the time.
  const std::string big = letters(4 << 20, 7);
  std::thread writer([&] { EXPECT_TRUE(send_record(tcp.client, big)); });
  EXPECT_EQ(read_exactly(tcp.client, big.size()), ascii_upper(big));
  writer.join();
}

TEST(Coalescing, NothingIsLeftHeldWhenTheSessionEnds) {
  {
    tcp_pair tcp;  // a full chunk with the terminator right behind it
    ASSERT_GE(tcp.server, 0);
    set_tcp_option(tcp.server, TCP_NODELAY, 1);
    served session(tcp.server);
    ASSERT_EQ(read_exactly(tcp.client, 9), greeting);
    const std::string full = letters(2048, 3);  // two full chunks, both held
    std::string echo;
    const auto took = echo_time(tcp.client, full + ".\r\n", full.size(), echo);
    EXPECT_EQ(echo, ascii_upper(full));
    EXPECT_LT(took, prompt) << "pushed before send_msg returns, the descriptor still open";
    EXPECT_TRUE(session.wait_done(patience));
  }
  {
    tcp_pair tcp;  // a full chunk, then the client resets the connection
    ASSERT_GE(tcp.server, 0);
    served session(tcp.server);
    ASSERT_EQ(read_exactly(tcp.client, 9), greeting);
    ASSERT_TRUE(send_record(tcp.client, letters(3000, 4)));
    const linger abort{1, 0};
    setsockopt(tcp.client, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    tcp.client.reset();
    EXPECT_TRUE(session.wait_done(patience));
    EXPECT_EQ(tcp_option(tcp.server, TCP_CORK), 0);
  }
}

TEST(Coalescing, LeavesTheHostsSocketOptionsAsTheyWere) {
  for (int options = 0; options < 8; ++options) {
    const int nodelay = options & 1, cork = (options >> 1) & 1, inq = (options >> 2) & 1;
    tcp_pair tcp;
    ASSERT_GE(tcp.server, 0);
    set_tcp_option(tcp.server, TCP_NODELAY, nodelay);
    set_tcp_option(tcp.server, TCP_CORK, cork);
    set_tcp_option(tcp.server, TCP_INQ, inq);
    {
      served session(tcp.server);
      ASSERT_EQ(read_exactly(tcp.client, 9), greeting);
      const std::string input = letters(10000, 5);
      ASSERT_TRUE(send_record(tcp.client, input));
      EXPECT_EQ(read_exactly(tcp.client, input.size()), ascii_upper(input));
      const std::string last = letters(2048, 6);  // ends the session with an echo held
      ASSERT_TRUE(send_record(tcp.client, last + ".\r\n"));
      EXPECT_EQ(read_exactly(tcp.client, last.size()), ascii_upper(last));
      EXPECT_TRUE(session.wait_done(patience));
    }
    EXPECT_EQ(tcp_option(tcp.server, TCP_NODELAY), nodelay) << options;
    EXPECT_EQ(tcp_option(tcp.server, TCP_CORK), cork) << options;
    EXPECT_EQ(tcp_option(tcp.server, TCP_INQ), inq) << options;
  }
}

TEST(Coalescing, DescriptorsThatAreNotTcpStillGetEveryByte) {
  {
    socket_pair pair(SOCK_STREAM);
    served session(pair.server);
    ASSERT_EQ(read_exactly(pair.client, 9), greeting);
    const std::string input = letters(6000, 6);
    ASSERT_TRUE(send_record(pair.client, input));
    EXPECT_EQ(read_exactly(pair.client, input.size()), ascii_upper(input));
  }
  raw_pty tty;
  ASSERT_GE(tty.slave, 0);
  served session(tty.slave);
  ASSERT_EQ(read_exactly(tty.master, 9), greeting);
  const std::string input = letters(3000, 8);
  ASSERT_EQ(write(tty.master, input.data(), input.size()), static_cast<ssize_t>(input.size()));
  EXPECT_EQ(read_exactly(tty.master, input.size()), ascii_upper(input));
  ASSERT_EQ(write(tty.master, ".\r\n", 3), 3);  // a terminal cannot be shut down from outside
  EXPECT_TRUE(session.wait_done(patience));
}

}  // namespace
