#include "address_range.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <string.h>

namespace capecho {
namespace {

bool parse_prefix(std::string_view text, unsigned max, unsigned& out) {
  if (text.empty() || text.size() > 3 || (text[0] == '0' && text.size() > 1)) return false;
  unsigned value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  out = value;
  return value <= max;
}

// The peer's address bytes and family, IPv4-mapped IPv6 taken as IPv4.
int peer_address(const endpoint& peer, const uint8_t*& bytes) {
  if (peer.storage.ss_family == AF_INET) {
    bytes = reinterpret_cast<const uint8_t*>(
        &reinterpret_cast<const sockaddr_in*>(&peer.storage)->sin_addr);
    return AF_INET;
  }
  if (peer.storage.ss_family == AF_INET6) {
    const auto& a = reinterpret_cast<const sockaddr_in6*>(&peer.storage)->sin6_addr;
    bytes = reinterpret_cast<const uint8_t*>(&a);
    if (IN6_IS_ADDR_V4MAPPED(&a)) {
      bytes += 12;
      return AF_INET;
    }
    return AF_INET6;
  }
  return AF_UNSPEC;
}

}  // namespace

bool parse_address_range(const char* text, address_range& out, failure& why) {
  const std::string_view s(text);
  const size_t slash = s.find('/');
  const std::string_view address_part = s.substr(0, slash);
  const std::string address(address_part);
  out = address_range{};
  if (inet_pton(AF_INET, address.c_str(), out.bytes) == 1) {
    out.family = AF_INET;
  } else if (inet_pton(AF_INET6, address.c_str(), out.bytes) == 1) {
    out.family = AF_INET6;
  } else {
    why = {.refused = refusal::not_numeric_address, .input = s, .culprit = address_part};
    return false;
  }
  const unsigned max = out.family == AF_INET ? 32 : 128;
  out.prefix_bits = max;
  if (slash != std::string_view::npos && !parse_prefix(s.substr(slash + 1), max, out.prefix_bits)) {
    why = {.refused = refusal::prefix_out_of_range, .input = s, .low = 0, .high = max};
    return false;
  }
  return true;
}

bool in_range(const address_range& range, const endpoint& peer) {
  const uint8_t* bytes = nullptr;
  if (peer_address(peer, bytes) != range.family) return false;
  const unsigned whole = range.prefix_bits / 8;
  if (memcmp(bytes, range.bytes, whole) != 0) return false;
  const unsigned rest = range.prefix_bits % 8;
  if (rest == 0) return true;
  const auto mask = static_cast<uint8_t>(0xFF << (8 - rest));
  return ((bytes[whole] ^ range.bytes[whole]) & mask) == 0;
}

bool in_any_range(const std::vector<address_range>& ranges, const endpoint& peer) {
  for (const address_range& r : ranges)
    if (in_range(r, peer)) return true;
  return false;
}

}  // namespace capecho
