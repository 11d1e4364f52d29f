// The PROXY protocol header, versions 1 and 2, as a load balancer sends it
// before the client's own bytes: who the client really is.
//
// The parser is pure: it looks at the bytes received so far (they may run on
// into the client's own data) and says whether they begin with a whole valid
// header, are the start of one, or are not one at all. A reader that
// consumes only what it reports as header takes none of the client's bytes.
#ifndef CAPECHO_SERVER_PROXY_HEADER_H
#define CAPECHO_SERVER_PROXY_HEADER_H

#include <stddef.h>
#include <stdint.h>

#include "address.h"

namespace capecho {

inline constexpr size_t proxy_v1_max_bytes = 107;  // CR LF included
inline constexpr size_t proxy_v2_fixed_bytes = 16;
inline constexpr size_t proxy_v2_max_bytes = proxy_v2_fixed_bytes + 65535;

struct proxy_header {
  int version = 0;
  size_t length = 0;  // bytes on the wire
  // False for a v2 LOCAL header (the balancer's own connection, such as a
  // health check): the connection's own endpoints stand.
  bool proxied = false;
  // False when the header carries no usable addresses (v1 UNKNOWN, v2 UNSPEC,
  // UDP or Unix families): the connection's own endpoints stand.
  bool has_addresses = false;
  endpoint source;
  endpoint destination;
};

enum class proxy_parse_status {
  incomplete,  // a valid start: read more as `next` says
  invalid,     // `error` says why
  complete,    // `header` is filled in
};

struct proxy_parse_result {
  proxy_parse_status status = proxy_parse_status::incomplete;
  // With incomplete: the header takes at least this many bytes in all, and
  // every byte given so far is part of it.
  size_t needed = 0;
  const char* error = "";
};

proxy_parse_result parse_proxy_header(const uint8_t* data, size_t len, proxy_header& header);

}  // namespace capecho

#endif  // CAPECHO_SERVER_PROXY_HEADER_H
