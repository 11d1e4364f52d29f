// Partial writes and interrupted calls, made to happen on every call: this
// binary links the library with send, write and read wrapped (-Wl,--wrap),
// so the session's descriptor accepts at most a few bytes per call and every
// other call fails with EINTR.
#include <errno.h>

#include <atomic>

#include <gtest/gtest.h>

#include "session_helpers.h"

extern "C" ssize_t __real_send(int fd, const void* buf, size_t len, int flags);
extern "C" ssize_t __real_write(int fd, const void* buf, size_t len);
extern "C" ssize_t __real_read(int fd, void* buf, size_t len);

namespace {

std::atomic<int> victim{-1};  // the only descriptor the wrappers meddle with
std::atomic<unsigned> calls{0};
constexpr size_t bytes_per_write = 3;

// Every other call on the victim is interrupted before it transfers anything.
bool interrupt_this_call(int fd) {
  if (fd != victim.load() || calls.fetch_add(1) % 2 == 0) return false;
  errno = EINTR;
  return true;
}

size_t trimmed(int fd, size_t len) {
  return fd == victim.load() ? std::min(len, bytes_per_write) : len;
}

}  // namespace

extern "C" ssize_t __wrap_send(int fd, const void* buf, size_t len, int flags) {
  if (interrupt_this_call(fd)) return -1;
  return __real_send(fd, buf, trimmed(fd, len), flags);
}

extern "C" ssize_t __wrap_write(int fd, const void* buf, size_t len) {
  if (interrupt_this_call(fd)) return -1;
  return __real_write(fd, buf, trimmed(fd, len));
}

extern "C" ssize_t __wrap_read(int fd, void* buf, size_t len) {
  if (interrupt_this_call(fd)) return -1;
  return __real_read(fd, buf, len);
}

namespace {

using namespace capecho_test;

TEST(PartialWrites, EveryByteArrivesInOrder) {
  socket_pair pair(SOCK_STREAM);
  victim = pair.server;
  {
    served session(pair.server);
    EXPECT_EQ(read_exactly(pair.client, greeting.size()), greeting);
    const std::string chunks[] = {"hello\r\n", "a longer chunk of 40 bytes, mixed Case!!", "z"};
    for (const auto& chunk : chunks) {
      ASSERT_TRUE(send_record(pair.client, chunk));
      EXPECT_EQ(read_exactly(pair.client, chunk.size()), ascii_upper(chunk));
    }
    ASSERT_TRUE(send_record(pair.client, ".\r\n"));
    EXPECT_TRUE(session.wait_done(patience));
  }
  victim = -1;
  EXPECT_GT(calls.load(), size_t{2} * (9 + 40) / bytes_per_write)
      << "the wrappers were not in the path";
}

}  // namespace
