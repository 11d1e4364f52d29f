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
static inline bool write_all(session_peer& to, const void* data, size_t len) {
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    const ssize_t n = to.is_socket ? send(to.fd, p, len, MSG_NOSIGNAL) : write(to.fd, p, len);
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

// Greets, then echoes every chunk after convert(buf, n) until the terminator
// chunk, end of stream, or a failed read or write. convert may change bytes of
// buf past n, up to the buffer's end.
template <typename Convert>
static void run_session(int sockfd, Convert convert) {
  const char welcome[9] = "Hello!!\n";  // the closing zero byte is sent too
  alignas(64) unsigned char buf[chunk_capacity];
  session_peer client{sockfd, true};

  memset(buf, 0, sizeof buf);
  if (!write_all(client, welcome, sizeof welcome)) return;
  for (;;) {
    const ssize_t n = read_chunk(sockfd, buf, sizeof buf);
    if (n <= 0 || is_terminator(buf)) return;
    convert(buf, static_cast<size_t>(n));
    if (!write_all(client, buf, static_cast<size_t>(n))) return;
    memset(buf, 0, sizeof buf);
  }
}

#endif  // CAPECHO_SESSION_H
