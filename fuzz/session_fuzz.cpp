// Feeds send_msg arbitrary chunk sequences and checks every byte it sends
// against a small model of the protocol written independently here.
//
// Input: a list of chunks, each a two-byte big-endian length (taken modulo
// 1025) and that many bytes. Each chunk is one SOCK_SEQPACKET record, so one
// read in send_msg sees exactly one chunk. A zero-length record reads as end
// of stream.
#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "capecho.h"

namespace {

constexpr size_t max_chunk = 1024;
constexpr int patience_ms = 10000;  // anything slower than this is a hang

std::vector<std::string> split_chunks(const uint8_t* data, size_t size) {
  std::vector<std::string> chunks;
  size_t at = 0;
  while (at + 2 <= size) {
    size_t len = ((static_cast<size_t>(data[at]) << 8) | data[at + 1]) % (max_chunk + 1);
    at += 2;
    len = std::min(len, size - at);
    chunks.emplace_back(reinterpret_cast<const char*>(data + at), len);
    at += len;
  }
  return chunks;
}

// --- the model -------------------------------------------------------------

enum class reply { echo, end };

reply model_reply(const std::string& chunk, std::string& echo) {
  if (chunk.empty()) return reply::end;  // end of stream
  if (chunk.size() >= 3 && chunk.compare(0, 3, ".\r\n") == 0 &&
      (chunk.size() == 3 || chunk[3] == '\0'))
    return reply::end;  // the terminator chunk
  echo = chunk;
  for (char& c : echo)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return reply::echo;
}

// --- the harness -----------------------------------------------------------

[[noreturn]] void mismatch(const char* what) {
  (void)fprintf(stderr, "session_fuzz: %s\n", what);
  abort();
}

// Waits for fd to become readable. libFuzzer's own timer interrupts poll
// with SIGALRM, so EINTR only means "wait on".
bool readable_within(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  for (int waited = 0; waited < ms; waited += 100) {
    const int r = poll(&p, 1, 100);
    if (r == 1) return true;
    if (r < 0 && errno != EINTR) return false;
  }
  return false;
}

// One record, or "" with *eof set at end of stream; aborts on a hang.
std::string next_record(int fd, bool* eof) {
  if (!readable_within(fd, patience_ms)) mismatch("send_msg sent nothing in time");
  char buf[max_chunk + 16];
  ssize_t n;
  do {
    n = recv(fd, buf, sizeof buf, 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) mismatch("recv failed");
  *eof = n == 0;
  return std::string(buf, static_cast<size_t>(n));
}

void expect_record(int fd, const std::string& want, const char* what) {
  bool eof = false;
  if (next_record(fd, &eof) != want || eof) mismatch(what);
}

void expect_silence(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, 0) == 1) {
    bool eof = false;
    if (!next_record(fd, &eof).empty() || !eof) mismatch("bytes after the session ended");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0) return 0;
  const int client = fds[0], served = fds[1];
  std::thread session([served] { send_msg(served); });

  expect_record(client, std::string("Hello!!\n\0", 9), "wrong greeting");
  for (const std::string& chunk : split_chunks(data, size)) {
    ssize_t sent;
    do {
      sent = send(client, chunk.data(), chunk.size(), MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(chunk.size())) mismatch("send failed");
    std::string echo;
    if (model_reply(chunk, echo) == reply::end) break;
    expect_record(client, echo, "echo differs from the model");
  }
  shutdown(client, SHUT_WR);  // a session the input left open ends at end of stream
  session.join();
  expect_silence(client);
  close(client);
  close(served);
  return 0;
}
