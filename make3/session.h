// The exchange itself, parameterised on what is done to each chunk before it
// is echoed, so that a benchmark can run the very same loop without the
// conversion. Header-only with internal linkage: the archive still exports
// nothing but send_msg.
#ifndef CAPECHO_SESSION_H
#define CAPECHO_SESSION_H

#include "socket.h"

// Chunks are at most this long; the buffer is a whole number of conversion
// blocks so the conversion never needs a tail loop.
static constexpr size_t chunk_capacity = 1024;

// Where echoes go. On a socket, send(MSG_NOSIGNAL) keeps a departed client
// from raising SIGPIPE in the host; anything else gets plain write.
struct session_peer {
  int fd;
  bool is_socket;
};

// Writes all len bytes, continuing after partial writes and EINTR.
// False when the peer can take no more: the session is over.
static inline bool write_all(session_peer& to, const void* data, size_t len, int flags = 0) {
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    const ssize_t n =
        to.is_socket ? send(to.fd, p, len, MSG_NOSIGNAL | flags) : write(to.fd, p, len);
    if (n > 0) {
      p += n;
      len -= static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == ENOTSOCK && to.is_socket) {
      to.is_socket = false;
    } else {
      return false;
    }
  }
  return true;
}

// One read, retried on EINTR. Zero means end of stream, negative a failure.
static inline ssize_t read_chunk(int fd, unsigned char* buf, size_t cap) {
  for (;;) {
    const ssize_t n = read(fd, buf, cap);
    if (n >= 0 || errno != EINTR) return n;
  }
}

// The buffer is zeroed before every read, so this string comparison accepts
// exactly ".\r\n" alone or followed by a zero byte, on one read's bytes.
static inline bool is_terminator(const unsigned char* buf) {
  return strcmp(reinterpret_cast<const char*>(buf), ".\r\n") == 0;
}

// Joining echoes on TCP. A client that streams has more input waiting each
// time a read fills the whole buffer; its echo is then sent with MSG_MORE, so
// the kernel holds it and joins it with the next one into full segments,
// instead of one small segment per chunk. The first echo sent with no more
// input waiting goes without MSG_MORE and pushes everything held, so a
// message of several chunks still comes back at once.
struct echo_coalescing {
  enum { unknown, usable, unusable } state;
  bool holding;  // the last echo went out with MSG_MORE
};

// Only on a TCP socket that the host has not corked itself: the session must
// leave the descriptor as it found it.
static inline bool coalescing_usable(int fd) {
  int corked = 0;
  socklen_t len = sizeof corked;
  return getsockopt(fd, IPPROTO_TCP, TCP_CORK, &corked, &len) == 0 && corked == 0;
}

// Looked at only after a full chunk, so small chunks cost nothing extra.
static inline bool more_input_waiting(int fd, echo_coalescing& c) {
  if (c.state == echo_coalescing::unknown)
    c.state = coalescing_usable(fd) ? echo_coalescing::usable : echo_coalescing::unusable;
  int waiting = 0;
  return c.state == echo_coalescing::usable && ioctl(fd, FIONREAD, &waiting) == 0 && waiting > 0;
}

// Sends what MSG_MORE held, before the session returns with the descriptor
// still open. Clearing TCP_CORK pushes pending data and leaves the socket as
// it was, since it was not corked.
static inline void push_held_echo(int fd, echo_coalescing& c) {
  if (!c.holding) return;
  c.holding = false;
  const int off = 0;
  // A socket that refuses this is failing: nothing on it can be delivered.
  (void)setsockopt(fd, IPPROTO_TCP, TCP_CORK, &off, sizeof off);
}

// Greets, then echoes every chunk after convert(buf, n) until the terminator
// chunk, end of stream, or a failed read or write. convert may change bytes of
// buf past n, up to the buffer's end. With `coalesce` false every echo leaves
// as soon as it is written.
template <typename Convert>
static void run_session(int sockfd, Convert convert, bool coalesce = true) {
  const char welcome[9] = "Hello!!\n";  // the closing zero byte is sent too
  alignas(64) unsigned char buf[chunk_capacity];
  session_peer client{sockfd, true};
  echo_coalescing joining{coalesce ? echo_coalescing::unknown : echo_coalescing::unusable, false};

  memset(buf, 0, sizeof buf);
  if (!write_all(client, welcome, sizeof welcome)) return;
  for (;;) {
    const ssize_t n = read_chunk(sockfd, buf, sizeof buf);
    if (n <= 0 || is_terminator(buf)) return push_held_echo(sockfd, joining);
    convert(buf, static_cast<size_t>(n));
    const bool more = n == sizeof buf && more_input_waiting(sockfd, joining);
    if (!write_all(client, buf, static_cast<size_t>(n), more ? MSG_MORE : 0)) return;
    joining.holding = more;
    memset(buf, 0, sizeof buf);
  }
}

#endif  // CAPECHO_SESSION_H
