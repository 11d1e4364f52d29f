// One client's whole session: greeting, upper-cased echo of every chunk, and
// the terminator chunk ".\r\n" that ends it.
#include "socket.h"

#include "capecho.h"
#include "case_map.h"

namespace {

constexpr size_t chunk_capacity = 1024;
static_assert(chunk_capacity % case_block == 0, "conversion runs over whole blocks");

// Where echoes go. On a socket, send(MSG_NOSIGNAL) keeps a departed client
// from raising SIGPIPE in the host; anything else gets plain write.
struct peer {
  int fd;
  bool is_socket;
};

// Writes all len bytes, continuing after partial writes and EINTR.
// False when the peer can take no more: the session is over.
bool write_all(peer& to, const void* data, size_t len) {
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
ssize_t read_chunk(int fd, unsigned char* buf, size_t cap) {
  for (;;) {
    const ssize_t n = read(fd, buf, cap);
    if (n >= 0 || errno != EINTR) return n;
  }
}

// The buffer is zeroed before every read, so this string comparison accepts
// exactly ".\r\n" alone or followed by a zero byte, on one read's bytes.
bool is_terminator(const unsigned char* buf) {
  return strcmp(reinterpret_cast<const char*>(buf), ".\r\n") == 0;
}

}  // namespace

extern "C" void send_msg(int sockfd) {
  const char welcome[9] = "Hello!!\n";  // the closing zero byte is sent too
  alignas(case_block) unsigned char buf[chunk_capacity];
  case_map map;
  build_case_map(map);
  peer client{sockfd, true};

  memset(buf, 0, sizeof buf);
  if (!write_all(client, welcome, sizeof welcome)) return;
  for (;;) {
    const ssize_t n = read_chunk(sockfd, buf, sizeof buf);
    if (n <= 0 || is_terminator(buf)) return;
    upcase(map, buf, static_cast<size_t>(n));
    if (!write_all(client, buf, static_cast<size_t>(n))) return;
    memset(buf, 0, sizeof buf);
  }
}
