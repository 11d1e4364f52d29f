// The session as a client sees it, one record per chunk over SOCK_SEQPACKET,
// and the stream behaviours over SOCK_STREAM.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>

#include <gtest/gtest.h>

#include "session_helpers.h"
#include "unique_fd.h"

using namespace capecho_test;
using namespace std::chrono_literals;

namespace {

std::string bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

TEST(Session, GreetsBeforeTheClientSpeaks) {
  socket_pair pair;
  served session(pair.server);
  EXPECT_EQ(read_once(pair.client), bytes({0x48, 0x65, 0x6C, 0x6C, 0x6F, 0x21, 0x21, 0x0A, 0x00}));
}

TEST(Session, EchoesEveryOtherChunkUpperCased) {
  const std::pair<std::string, std::string> cases[] = {
      {"hello\r\n", "HELLO\r\n"},
      {"Mixed 123 Case!\r\n", "MIXED 123 CASE!\r\n"},
      {".\n", ".\n"},
      {". \r\n", ". \r\n"},
      {"..\r\n", "..\r\n"},
      {".\r", ".\r"},
      {".", "."},
      {".\r\nbye", ".\r\nBYE"},
      {"abc\r\n.\r\n", "ABC\r\n.\r\n"},
      {std::string("a\0b", 3), std::string("A\0B", 3)},
      {std::string("\0.\r\n", 4), std::string("\0.\r\n", 4)},
      {"x", "X"},
      {"@[`{azAZ", "@[`{AZAZ"},
  };
  socket_pair pair;
  served session(pair.server);
  ASSERT_EQ(read_once(pair.client), greeting);
  for (const auto& [chunk, echo] : cases) {
    ASSERT_TRUE(send_record(pair.client, chunk));
    EXPECT_EQ(read_once(pair.client), echo) << "chunk: " << chunk;
  }
  EXPECT_FALSE(session.wait_done(0ms));
}

TEST(Session, EchoesEveryByteValueAndFullChunks) {
  socket_pair pair;
  served session(pair.server);
  ASSERT_EQ(read_once(pair.client), greeting);
  std::string all;
  for (int v = 0; v < 256; ++v) all.push_back(static_cast<char>(v));
  ASSERT_TRUE(send_record(pair.client, all));
  EXPECT_EQ(read_once(pair.client), ascii_upper(all)) << "bytes 80-FF pass unchanged in C";

  std::string full;  // a whole 1024-byte chunk, then a short one after it
  for (int i = 0; i < 1024; ++i) full.push_back("abcXYZ\0."[i % 8]);
  ASSERT_TRUE(send_record(pair.client, full));
  EXPECT_EQ(read_once(pair.client), ascii_upper(full));
  ASSERT_TRUE(send_record(pair.client, "q"));
  EXPECT_EQ(read_once(pair.client), "Q") << "nothing of the previous chunk may linger";
}

// After the terminator the call returns, nothing more is sent, and the
// descriptor is still open and usable by the host.
void expect_terminated(const std::string& terminator) {
  socket_pair pair;
  served session(pair.server);
  ASSERT_EQ(read_once(pair.client), greeting);
  ASSERT_TRUE(send_record(pair.client, "one\r\n"));
  ASSERT_EQ(read_once(pair.client), "ONE\r\n");
  ASSERT_TRUE(send_record(pair.client, terminator));
  ASSERT_TRUE(session.wait_done(patience));
  EXPECT_FALSE(readable(pair.client, 50ms)) << "the terminator is not echoed";
  EXPECT_NE(fcntl(pair.server, F_GETFD), -1) << "descriptor closed";
  ASSERT_TRUE(send_record(pair.server, "still here"));
  EXPECT_EQ(read_once(pair.client), "still here");
}

TEST(Session, TerminatorEndsTheSessionAndLeavesTheDescriptorOpen) {
  expect_terminated(".\r\n");
  expect_terminated(std::string(".\r\n\0", 4));
  expect_terminated(std::string(".\r\n\0trailing bytes", 18));
}

TEST(Session, EndOfStreamAndFailuresEndTheSession) {
  {
    socket_pair pair(SOCK_STREAM);
    served session(pair.server);
    ASSERT_EQ(read_exactly(pair.client, 9), greeting);
    shutdown(pair.client, SHUT_WR);
    EXPECT_TRUE(session.wait_done(patience));
  }
  {
    socket_pair pair(SOCK_STREAM);  // a read that fails: the receive time-out expires
    const timeval brief{0, 20000};
    ASSERT_EQ(setsockopt(pair.server, SOL_SOCKET, SO_RCVTIMEO, &brief, sizeof brief), 0);
    served session(pair.server);
    EXPECT_TRUE(session.wait_done(patience));
  }
  {
    socket_pair pair(SOCK_STREAM);  // a write that fails: a client that never reads
    const timeval brief{0, 50000};
    ASSERT_EQ(setsockopt(pair.server, SOL_SOCKET, SO_SNDTIMEO, &brief, sizeof brief), 0);
    served session(pair.server);
    const std::string flood(size_t{512} * 1024, 'f');
    // The client's own writes stall once the session stops reading; it gives
    // up after its own time-out, and the session must already be over.
    const timeval client_wait{1, 0};
    ASSERT_EQ(setsockopt(pair.client, SOL_SOCKET, SO_SNDTIMEO, &client_wait, sizeof client_wait),
              0);
    (void)send(pair.client, flood.data(), flood.size(), MSG_NOSIGNAL);
    EXPECT_TRUE(session.wait_done(patience));
  }
  send_msg(-1);  // a bad descriptor returns at once
}

TEST(Stream, LongWritesComeBackWholeAndInOrder) {
  socket_pair pair(SOCK_STREAM);
  served session(pair.server);
  ASSERT_EQ(read_exactly(pair.client, 9), greeting);
  std::string input;
  for (int i = 0; i < 5000; ++i)
    input.push_back(static_cast<char>('a' + i % 26 + (i % 3 ? 0 : -32)));
  ASSERT_EQ(write(pair.client, input.data(), input.size()), static_cast<ssize_t>(input.size()));
  EXPECT_EQ(read_exactly(pair.client, input.size()), ascii_upper(input));
}

void ignore_signal(int) {}

TEST(Stream, SurvivesSignalsThatInterruptBlockedReads) {
  struct sigaction action {};
  struct sigaction saved {};
  action.sa_handler = ignore_signal;  // no SA_RESTART: read fails with EINTR
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &action, &saved), 0);
  {
    socket_pair pair(SOCK_STREAM);
    served session(pair.server);
    ASSERT_EQ(read_exactly(pair.client, 9), greeting);
    for (int i = 0; i < 20; ++i) {
      std::this_thread::sleep_for(5ms);
      pthread_kill(session.native_handle(), SIGUSR1);
    }
    ASSERT_TRUE(send_record(pair.client, "after signals"));
    EXPECT_EQ(read_exactly(pair.client, 13), "AFTER SIGNALS");
    EXPECT_FALSE(session.wait_done(0ms));
  }
  sigaction(SIGUSR1, &saved, nullptr);
}

TEST(Stream, DepartedClientDoesNotRaiseSigpipe) {
  struct sigaction dfl {};
  struct sigaction saved {};
  dfl.sa_handler = SIG_DFL;
  ASSERT_EQ(sigaction(SIGPIPE, &dfl, &saved), 0);
  {
    socket_pair pair(SOCK_STREAM);
    close(pair.client);
    pair.client = -1;
    send_msg(pair.server);  // the greeting's write fails with EPIPE
  }
  {
    socket_pair pair(SOCK_STREAM);
    served session(pair.server);
    ASSERT_EQ(read_exactly(pair.client, 9), greeting);
    ASSERT_TRUE(send_record(pair.client, "echo into the void"));
    close(pair.client);
    pair.client = -1;
    EXPECT_TRUE(session.wait_done(patience));
  }
  sigaction(SIGPIPE, &saved, nullptr);
}

// A descriptor that is not a socket: a raw terminal.
TEST(Stream, ServesDescriptorsThatAreNotSockets) {
  raw_pty tty;
  ASSERT_GE(tty.slave, 0);
  {
    served session(tty.slave);
    EXPECT_EQ(read_exactly(tty.master, 9), greeting);
    ASSERT_EQ(write(tty.master, "tty\r\n", 5), 5);
    EXPECT_EQ(read_exactly(tty.master, 5), "TTY\r\n");
    ASSERT_EQ(write(tty.master, ".\r\n", 3), 3);
    EXPECT_TRUE(session.wait_done(patience));
  }
}

// The host's process state is its own: send_msg changes none of it.
TEST(Session, LeavesFlagsSignalsAndMaskAsItFoundThem) {
  socket_pair pair;
  const int fl = fcntl(pair.server, F_GETFL);
  const int fd_flags = fcntl(pair.server, F_GETFD);
  struct sigaction pipe_before {};
  sigaction(SIGPIPE, nullptr, &pipe_before);
  sigset_t mask_before;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask_before);

  ASSERT_TRUE(send_record(pair.client, "abc"));
  ASSERT_TRUE(send_record(pair.client, ".\r\n"));
  send_msg(pair.server);  // records are queued, so this thread runs the whole session

  EXPECT_EQ(fcntl(pair.server, F_GETFL), fl);
  EXPECT_EQ(fcntl(pair.server, F_GETFD), fd_flags);
  struct sigaction pipe_after {};
  sigaction(SIGPIPE, nullptr, &pipe_after);
  EXPECT_EQ(pipe_after.sa_handler, pipe_before.sa_handler);
  sigset_t mask_after;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask_after);
  for (int s = 1; s < NSIG; ++s)
    EXPECT_EQ(sigismember(&mask_after, s), sigismember(&mask_before, s));
  EXPECT_EQ(read_once(pair.client), greeting);
  EXPECT_EQ(read_once(pair.client), "ABC");
}

}  // namespace
