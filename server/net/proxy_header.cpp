#include "proxy_header.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <string.h>

#include <algorithm>
#include <string_view>

#include "crc32c.h"

namespace capecho {
namespace {

constexpr std::string_view v1_prefix = "PROXY ";
constexpr size_t v1_min_bytes = 15;  // "PROXY UNKNOWN\r\n"
constexpr uint8_t v2_signature[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                      0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};

constexpr uint8_t v2_command_local = 0x0;
constexpr uint8_t v2_command_proxy = 0x1;
constexpr uint8_t v2_tcp4 = 0x11;
constexpr uint8_t v2_tcp6 = 0x21;
constexpr uint8_t v2_tlv_crc32c = 0x03;

proxy_parse_result incomplete(size_t needed) {
  return {proxy_parse_status::incomplete, needed, ""};
}

proxy_parse_result invalid(const char* why) { return {proxy_parse_status::invalid, 0, why}; }

proxy_parse_result complete() { return {proxy_parse_status::complete, 0, ""}; }

// ---- version 1: one text line ----

// Splits off the text up to the next single space, or to the end.
std::string_view next_field(std::string_view& rest) {
  const size_t space = rest.find(' ');
  const std::string_view field = rest.substr(0, space);
  rest = space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
  return field;
}

bool parse_v1_port(std::string_view text, in_port_t& port) {
  if (text.empty() || text.size() > 5 || (text[0] == '0' && text.size() > 1)) return false;
  unsigned value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > 65535) return false;
  port = htons(static_cast<in_port_t>(value));
  return true;
}

bool parse_v1_endpoint(int family, std::string_view address, std::string_view port_text,
                       endpoint& out) {
  char text[INET6_ADDRSTRLEN];
  if (address.empty() || address.size() >= sizeof text) return false;
  memcpy(text, address.data(), address.size());
  text[address.size()] = '\0';
  in_port_t port = 0;
  if (!parse_v1_port(port_text, port)) return false;
  out = endpoint{};
  if (family == AF_INET) {
    auto* a = reinterpret_cast<sockaddr_in*>(&out.storage);
    a->sin_family = AF_INET;
    a->sin_port = port;
    out.length = sizeof *a;
    return inet_pton(AF_INET, text, &a->sin_addr) == 1;
  }
  auto* a = reinterpret_cast<sockaddr_in6*>(&out.storage);
  a->sin6_family = AF_INET6;
  a->sin6_port = port;
  out.length = sizeof *a;
  return inet_pton(AF_INET6, text, &a->sin6_addr) == 1;
}

// `line` is the whole line without its CR LF.
proxy_parse_result parse_v1_line(std::string_view line, proxy_header& header) {
  if (line.find('\r') != std::string_view::npos) return invalid("v1: a bare CR in the line");
  std::string_view rest = line.substr(v1_prefix.size());
  const std::string_view protocol = next_field(rest);
  if (protocol == "UNKNOWN") return complete();  // anything may follow
  int family = AF_UNSPEC;
  if (protocol == "TCP4") family = AF_INET;
  if (protocol == "TCP6") family = AF_INET6;
  if (family == AF_UNSPEC) return invalid("v1: the protocol is not TCP4, TCP6 or UNKNOWN");
  const std::string_view source = next_field(rest);
  const std::string_view destination = next_field(rest);
  const std::string_view source_port = next_field(rest);
  const std::string_view destination_port = rest;
  if (destination_port.find(' ') != std::string_view::npos)
    return invalid("v1: more than four fields after the protocol");
  if (!parse_v1_endpoint(family, source, source_port, header.source))
    return invalid("v1: a malformed source address or port");
  if (!parse_v1_endpoint(family, destination, destination_port, header.destination))
    return invalid("v1: a malformed destination address or port");
  header.has_addresses = true;
  return complete();
}

proxy_parse_result parse_v1(const uint8_t* data, size_t len, proxy_header& header) {
  const std::string_view seen(reinterpret_cast<const char*>(data),
                              std::min(len, proxy_v1_max_bytes));
  if (seen.substr(0, v1_prefix.size()) != v1_prefix.substr(0, seen.size()))
    return invalid("not a PROXY header");
  const size_t lf = seen.find('\n');
  if (lf == std::string_view::npos) {
    const size_t cr = seen.find('\r');
    if (cr != std::string_view::npos && cr + 1 < seen.size()) return invalid("v1: a bare CR");
    if (seen.size() >= proxy_v1_max_bytes) return invalid("v1: no CR LF within 107 bytes");
    return incomplete(std::max(seen.size() + 1, v1_min_bytes));
  }
  if (lf == 0 || seen[lf - 1] != '\r') return invalid("v1: a bare LF");
  if (lf + 1 < v1_min_bytes) return invalid("v1: the line is too short");
  header = proxy_header{};
  header.version = 1;
  header.length = lf + 1;
  header.proxied = true;
  const proxy_parse_result r = parse_v1_line(seen.substr(0, lf - 1), header);
  if (r.status != proxy_parse_status::complete) header = proxy_header{};
  return r;
}

// ---- version 2: binary ----

uint16_t big_endian_16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

uint32_t big_endian_32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

// Bytes of the address block for a family/protocol byte; -1 if undefined.
int v2_address_bytes(uint8_t family) {
  switch (family) {
    case 0x00:  // UNSPEC
      return 0;
    case 0x11:  // TCP over IPv4
    case 0x12:  // UDP over IPv4
      return 12;
    case 0x21:  // TCP over IPv6
    case 0x22:  // UDP over IPv6
      return 36;
    case 0x31:  // Unix stream
    case 0x32:  // Unix datagram
      return 216;
    default:
      return -1;
  }
}

// The checksum covers the whole header with its own four bytes as zeros.
bool v2_checksum_matches(const uint8_t* header, size_t total, size_t value_at) {
  constexpr uint8_t zeros[4] = {};
  uint32_t crc = crc32c(0, header, value_at);
  crc = crc32c(crc, zeros, sizeof zeros);
  crc = crc32c(crc, header + value_at + 4, total - value_at - 4);
  return crc == big_endian_32(header + value_at);
}

// Type-length-value records fill the header after the addresses; unknown
// types are skipped.
const char* check_v2_tlvs(const uint8_t* header, size_t from, size_t total) {
  size_t at = from;
  while (at < total) {
    if (total - at < 3) return "v2: a truncated TLV";
    const uint8_t type = header[at];
    const size_t value_length = big_endian_16(header + at + 1);
    const size_t value_at = at + 3;
    if (value_length > total - value_at) return "v2: a TLV runs past the header";
    if (type == v2_tlv_crc32c) {
      if (value_length != 4) return "v2: a CRC32C TLV that is not 4 bytes";
      if (!v2_checksum_matches(header, total, value_at)) return "v2: the CRC32C does not match";
    }
    at = value_at + value_length;
  }
  return nullptr;
}

// Addresses and ports arrive in network order, as sockaddr keeps them.
void set_v4(endpoint& e, const uint8_t* address, const uint8_t* port) {
  auto* a = reinterpret_cast<sockaddr_in*>(&e.storage);
  a->sin_family = AF_INET;
  memcpy(&a->sin_addr, address, 4);
  memcpy(&a->sin_port, port, 2);
  e.length = sizeof *a;
}

void set_v6(endpoint& e, const uint8_t* address, const uint8_t* port) {
  auto* a = reinterpret_cast<sockaddr_in6*>(&e.storage);
  a->sin6_family = AF_INET6;
  memcpy(&a->sin6_addr, address, 16);
  memcpy(&a->sin6_port, port, 2);
  e.length = sizeof *a;
}

// The block holds the source address, the destination address, the source
// port and the destination port, in that order.
void read_v2_addresses(uint8_t family, const uint8_t* block, proxy_header& header) {
  if (family == v2_tcp4) {
    set_v4(header.source, block, block + 8);
    set_v4(header.destination, block + 4, block + 10);
  } else {
    set_v6(header.source, block, block + 32);
    set_v6(header.destination, block + 16, block + 34);
  }
  header.has_addresses = true;
}

proxy_parse_result parse_v2(const uint8_t* data, size_t len, proxy_header& header) {
  if (memcmp(data, v2_signature, std::min(len, sizeof v2_signature)) != 0)
    return invalid("not a PROXY header");
  if (len < proxy_v2_fixed_bytes) return incomplete(proxy_v2_fixed_bytes);
  const uint8_t version = data[12] >> 4;
  const uint8_t command = data[12] & 0x0F;
  const uint8_t family = data[13];
  if (version != 2) return invalid("v2: the version is not 2");
  if (command != v2_command_local && command != v2_command_proxy)
    return invalid("v2: the command is neither LOCAL nor PROXY");
  const size_t total = proxy_v2_fixed_bytes + big_endian_16(data + 14);
  if (len < total) return incomplete(total);
  const int address_bytes = v2_address_bytes(family);
  if (address_bytes < 0 && command == v2_command_proxy)
    return invalid("v2: an undefined address family");
  header = proxy_header{};
  if (address_bytes >= 0) {
    const size_t tlvs_at = proxy_v2_fixed_bytes + static_cast<size_t>(address_bytes);
    if (tlvs_at > total) return invalid("v2: the length is too short for the addresses");
    if (const char* why = check_v2_tlvs(data, tlvs_at, total)) return invalid(why);
    if (command == v2_command_proxy && (family == v2_tcp4 || family == v2_tcp6))
      read_v2_addresses(family, data + proxy_v2_fixed_bytes, header);
  }
  header.version = 2;
  header.length = total;
  header.proxied = command == v2_command_proxy;
  return complete();
}

}  // namespace

proxy_parse_result parse_proxy_header(const uint8_t* data, size_t len, proxy_header& header) {
  header = proxy_header{};
  if (len == 0) return incomplete(v1_min_bytes);
  if (data[0] == v1_prefix[0]) return parse_v1(data, len, header);
  if (data[0] == v2_signature[0]) return parse_v2(data, len, header);
  return invalid("not a PROXY header");
}

}  // namespace capecho
