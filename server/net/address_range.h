// Address ranges as users write them: 10.0.0.0/8, 2001:db8::/32, or a single
// address (a /32 or /128).
#ifndef CAPECHO_SERVER_ADDRESS_RANGE_H
#define CAPECHO_SERVER_ADDRESS_RANGE_H

#include <stdint.h>

#include <string>
#include <vector>

#include "address.h"

namespace capecho {

struct address_range {
  int family = 0;  // AF_INET or AF_INET6
  uint8_t bytes[16] = {};
  unsigned prefix_bits = 0;
};

// On failure returns false and says why in `why`, which refers to `text`.
bool parse_address_range(const char* text, address_range& out, failure& why);

// An IPv4 peer on a dual-stack socket (::ffff:a.b.c.d) matches IPv4 ranges.
bool in_range(const address_range& range, const endpoint& peer);
bool in_any_range(const std::vector<address_range>& ranges, const endpoint& peer);

}  // namespace capecho

#endif  // CAPECHO_SERVER_ADDRESS_RANGE_H
