#include "proxy_reader.h"

#include <errno.h>
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>

#include <algorithm>
#include <vector>

#include "hosted_io.h"

namespace capecho {
namespace {

// Holds any v1 line and the v2 headers balancers send in practice; a longer
// v2 header moves to the heap.
constexpr size_t inline_bytes = 256;

class header_buffer {
 public:
  uint8_t* data() { return heap_.empty() ? inline_ : heap_.data(); }
  size_t capacity() const { return heap_.empty() ? sizeof inline_ : heap_.size(); }
  void grow_to(size_t bytes, size_t kept) {
    if (bytes <= capacity()) return;
    std::vector<uint8_t> bigger(bytes);
    memcpy(bigger.data(), data(), kept);
    heap_.swap(bigger);
  }

 private:
  uint8_t inline_[inline_bytes];
  std::vector<uint8_t> heap_;
};

// Why a read that returned `n` (0 or -1) ended the header.
failure cut_short(ssize_t n) {
  return n == 0 ? failure{.refused = refusal::proxy_header_cut_short} : failure{"recv", errno};
}

// Takes `len` bytes that a peek has shown are queued.
bool consume(int fd, uint8_t* into, size_t len, failure& why) {
  while (len > 0) {
    const ssize_t n = recv(fd, into, len, MSG_DONTWAIT);
    if (n > 0) {
      into += n;
      len -= static_cast<size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      why = cut_short(n);
      return false;
    }
  }
  return true;
}

}  // namespace

// Peeks at what has arrived, and takes from the socket only bytes the parser
// counts as header: the lot while it is incomplete (all of it is header
// then), its exact length once it is whole.
proxy_read_status read_proxy_header(int fd, std::chrono::steady_clock::time_point deadline,
                                    proxy_header& header, failure& why) {
  header_buffer buf;
  size_t have = 0;
  size_t needed = 0;
  for (;;) {
    buf.grow_to(needed, have);
    const size_t room = buf.capacity() - have;  // at least one: needed > have
    const ssize_t n = peek_when_readable(fd, buf.data() + have, room, deadline);
    if (n < 0 && errno == ETIMEDOUT) return proxy_read_status::timed_out;
    if (n <= 0) {
      why = cut_short(n);
      return proxy_read_status::closed;
    }
    const size_t seen = have + static_cast<size_t>(n);
    const proxy_parse_result r = parse_proxy_header(buf.data(), seen, header);
    switch (r.status) {
      case proxy_parse_status::invalid:
        why = {.refused = refusal::proxy_header_invalid, .detail = r.error};
        return proxy_read_status::invalid;
      case proxy_parse_status::complete:
        return consume(fd, buf.data() + have, header.length - have, why)
                   ? proxy_read_status::ok
                   : proxy_read_status::closed;
      case proxy_parse_status::incomplete:
        if (!consume(fd, buf.data() + have, seen - have, why)) return proxy_read_status::closed;
        have = seen;
        needed = r.needed;
        break;
    }
  }
}

}  // namespace capecho
