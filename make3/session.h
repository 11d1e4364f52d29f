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
// With `inq`, TCP_INQ is on and the read also learns how many bytes it left
// behind in the socket (`waiting`); otherwise `waiting` is -1, not known.
static inline ssize_t read_chunk(int fd, unsigned char* buf, size_t cap, bool inq, int& waiting) {
  waiting = -1;
  if (!inq) {
    for (;;) {
      const ssize_t n = read(fd, buf, cap);
      if (n >= 0 || errno != EINTR) return n;
    }
  }
  iovec iov{buf, cap};
  union {
    cmsghdr header;
    char bytes[CMSG_SPACE(sizeof(int))];
  } control;
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  for (;;) {
    msg.msg_control = control.bytes;
    msg.msg_controllen = sizeof control.bytes;
    const ssize_t n = recvmsg(fd, &msg, 0);
    if (n < 0 && errno == EINTR) continue;
    const cmsghdr* c = CMSG_FIRSTHDR(&msg);
    if (n > 0 && c != nullptr && c->cmsg_level == SOL_TCP && c->cmsg_type == TCP_CM_INQ)
      memcpy(&waiting, CMSG_DATA(c), sizeof waiting);
    return n;
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
//
// How much input waits is asked of the kernel only once a read has filled
// the buffer, so small chunks pay nothing. From then on TCP_INQ makes every
// read report it at no extra cost; where TCP_INQ cannot be had, an
// ioctl(FIONREAD) after each full chunk asks.
struct echo_coalescing {
  enum { unknown, with_inq, with_ioctl, off } mode;
  bool holding;   // the last echo went out with MSG_MORE
  bool inq_ours;  // TCP_INQ was turned on here, and is turned off again at the end
};

static inline bool get_tcp_option(int fd, int name, int& value) {
  socklen_t len = sizeof value;
  return getsockopt(fd, IPPROTO_TCP, name, &value, &len) == 0;
}

static inline bool set_tcp_option(int fd, int name, int value) {
  return setsockopt(fd, IPPROTO_TCP, name, &value, sizeof value) == 0;
}

// Only on a TCP socket that the host has not corked itself: the session must
// leave the descriptor as it found it.
static inline void start_coalescing(int fd, echo_coalescing& c) {
  int corked = 1;
  int inq = 0;
  if (!get_tcp_option(fd, TCP_CORK, corked) || corked != 0) {
    c.mode = echo_coalescing::off;
  } else if (get_tcp_option(fd, TCP_INQ, inq) && (inq != 0 || set_tcp_option(fd, TCP_INQ, 1))) {
    c.mode = echo_coalescing::with_inq;
    c.inq_ours = inq == 0;
  } else {
    c.mode = echo_coalescing::with_ioctl;
  }
}

// `reported` is what the read said was left behind, or -1.
static inline bool more_input_waiting(int fd, echo_coalescing& c, int reported) {
  if (c.mode == echo_coalescing::unknown) start_coalescing(fd, c);
  if (c.mode == echo_coalescing::off) return false;
  if (reported >= 0) return reported > 0;
  int waiting = 0;
  return ioctl(fd, FIONREAD, &waiting) == 0 && waiting > 0;
}

// Sends what MSG_MORE held, before the session returns with the descriptor
// still open: clearing TCP_CORK pushes pending data and leaves the socket as
// it was, since it was not corked. TCP_INQ goes back off if it was off.
// A socket that refuses either is failing: nothing on it can be delivered.
static inline void finish_coalescing(int fd, echo_coalescing& c) {
  if (c.holding) (void)set_tcp_option(fd, TCP_CORK, 0);
  if (c.inq_ours) (void)set_tcp_option(fd, TCP_INQ, 0);
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
  echo_coalescing joining{coalesce ? echo_coalescing::unknown : echo_coalescing::off, false, false};

  memset(buf, 0, sizeof buf);
  if (!write_all(client, welcome, sizeof welcome)) return;
  for (;;) {
    int waiting = -1;
    const ssize_t n =
        read_chunk(sockfd, buf, sizeof buf, joining.mode == echo_coalescing::with_inq, waiting);
    if (n <= 0 || is_terminator(buf)) break;
    convert(buf, static_cast<size_t>(n));
    const bool more = n == sizeof buf && more_input_waiting(sockfd, joining, waiting);
    joining.holding = more;
    if (!write_all(client, buf, static_cast<size_t>(n), more ? MSG_MORE : 0)) break;
    memset(buf, 0, sizeof buf);
  }
  finish_coalescing(sockfd, joining);
}

#endif  // CAPECHO_SESSION_H
