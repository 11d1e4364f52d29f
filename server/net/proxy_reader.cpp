#include "proxy_reader.h"

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include <algorithm>

#include "hosted_io.h"

namespace capecho {
namespace {

// Holds any v1 line and the v2 headers balancers send in practice; a longer
// v2 header moves to the heap.
constexpr size_t inline_bytes = 256;

class header_buffer {
 public:
  header_buffer() = default;
  ~header_buffer() { free(heap_); }
  header_buffer(const header_buffer&) = delete;
  header_buffer& operator=(const header_buffer&) = delete;

  uint8_t* data() { return heap_ != nullptr ? heap_ : inline_; }
  size_t capacity() const { return heap_ != nullptr ? heap_bytes_ : sizeof inline_; }

  // False, and the buffer as it was, when there is no memory for more.
  bool grow_to(size_t bytes, size_t kept) {
    if (bytes <= capacity()) return true;
    auto* bigger = static_cast<uint8_t*>(malloc(bytes));
    if (bigger == nullptr) return false;
    memcpy(bigger, data(), kept);
    free(heap_);
    heap_ = bigger;
    heap_bytes_ = bytes;
    return true;
  }

 private:
  uint8_t inline_[inline_bytes]{};
  uint8_t* heap_ = nullptr;
  size_t heap_bytes_ = 0;
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
    if (!buf.grow_to(needed, have)) {
      why = {"malloc", ENOMEM};
      return proxy_read_status::no_memory;
    }
    const size_t room = buf.capacity() - have;  // at least one: needed > have
    const ssize_t n = peek_when_readable(fd, buf.data() + have, room, deadline);
    if (n < 0 && errno == ETIMEDOUT) return proxy_read_status::timed_out;
    if (n < 0 && errno == ENOMEM) {
      why = {"malloc", ENOMEM};  // the session's frames could not be saved
      return proxy_read_status::no_memory;
    }
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
