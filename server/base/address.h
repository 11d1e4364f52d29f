// Socket addresses as users write them: 127.0.0.1:7007, [::1]:7007 and
// unix:/run/capecho.sock.
#ifndef CAPECHO_SERVER_ADDRESS_H
#define CAPECHO_SERVER_ADDRESS_H

#include <net/if.h>
#include <stddef.h>
#include <netinet/in.h>
#include <stdint.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <string>
#include <string_view>
#include <vector>

#include "failure.h"

namespace capecho {

struct endpoint {
  sockaddr_storage storage{};
  socklen_t length = 0;

  const sockaddr* addr() const { return reinterpret_cast<const sockaddr*>(&storage); }
  sockaddr* addr() { return reinterpret_cast<sockaddr*>(&storage); }
};

inline constexpr std::string_view unix_prefix = "unix:";

// Parses a numeric IPv4 ADDR:PORT or bracketed IPv6 [ADDR]:PORT.
// On failure returns false and says why in `why`, which refers to `text`.
bool parse_endpoint(const char* text, endpoint& out, failure& why);

// unix:PATH: a Unix-domain socket file. Or HOST:PORT, with HOST a name or a numeric address, or
// [IPV6%SCOPE]:PORT: every address HOST resolves to, each once, in the resolver's order. On failure
// returns false and says in `why` what was tried (a piece of `text`) and why it failed.
bool resolve_endpoints(const char* text, std::vector<endpoint>& out, failure& why);

// "127.0.0.1:7007", "[::1]:7007", "[fe80::1%eth0]:7007", "unix:/PATH", or
// "local" for anything else (a Unix-domain client has no address).
std::string format_endpoint(const endpoint& e);

// The same text without allocating, for failure paths and session lines.
struct endpoint_name {
  char text[sizeof(sockaddr_un::sun_path) + 8];
};
static_assert(sizeof(endpoint_name::text) > INET6_ADDRSTRLEN + IF_NAMESIZE + 8);
endpoint_name name_of(const endpoint& e);

// A Unix-domain endpoint's file path, or null for any other (and for an
// unnamed or abstract one).
const char* unix_path(const endpoint& e);

// Whom a connection comes from, for each source's share: the address alone,
// as bytes (connections from one host share it, whatever their ports). Every
// peer without an IP address (a Unix socket, an unnamed peer) is one source,
// said by its own flag. Fixed size: making one never allocates.
struct source_key {
  source_key() = default;
  explicit source_key(const endpoint& e);
  bool has_address = false;  // false: no IP address
  sa_family_t family = AF_UNSPEC;
  uint8_t address[16] = {};
  friend bool operator==(const source_key&, const source_key&) = default;
};

struct source_key_hash {
  size_t operator()(const source_key& k) const noexcept;
};

}  // namespace capecho

#endif  // CAPECHO_SERVER_ADDRESS_H
