// Feeds the PROXY header parser arbitrary bytes and checks what a reader
// relies on to take exactly the header and nothing of the client's data:
// a whole header is found the same with or without bytes after it, every
// shorter prefix of it is reported incomplete (so headers split across
// segments are read whole), and the length reported is within what was given.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include "proxy_header.h"

namespace {

void check(bool condition) {
  if (!condition) abort();
}

bool same_endpoint(const capecho::endpoint& a, const capecho::endpoint& b) {
  return a.length == b.length && memcmp(&a.storage, &b.storage, sizeof a.storage) == 0;
}

void check_whole_header(const uint8_t* data, size_t size, const capecho::proxy_header& header) {
  check(header.length > 0 && header.length <= size);
  check(header.version == 1 || header.version == 2);
  if (header.version == 1) check(header.length <= capecho::proxy_v1_max_bytes);
  if (header.has_addresses) {
    check(header.proxied);
    const int family = header.source.storage.ss_family;
    check(family == AF_INET || family == AF_INET6);
    check(header.destination.storage.ss_family == family);
  }
  capecho::proxy_header alone;
  const auto r = capecho::parse_proxy_header(data, header.length, alone);
  check(r.status == capecho::proxy_parse_status::complete);
  check(alone.length == header.length && alone.version == header.version);
  check(alone.proxied == header.proxied && alone.has_addresses == header.has_addresses);
  check(same_endpoint(alone.source, header.source));
  check(same_endpoint(alone.destination, header.destination));
  for (size_t k = 0; k < header.length; ++k) {
    capecho::proxy_header part;
    const auto p = capecho::parse_proxy_header(data, k, part);
    check(p.status == capecho::proxy_parse_status::incomplete);
    check(p.needed > k && p.needed <= header.length);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  capecho::proxy_header header;
  const auto r = capecho::parse_proxy_header(data, size, header);
  switch (r.status) {
    case capecho::proxy_parse_status::complete:
      check_whole_header(data, size, header);
      break;
    case capecho::proxy_parse_status::incomplete:
      check(r.needed > size && r.needed <= capecho::proxy_v2_max_bytes);
      break;
    case capecho::proxy_parse_status::invalid:
      check(r.error != nullptr && r.error[0] != '\0');
      break;
  }
  return 0;
}
