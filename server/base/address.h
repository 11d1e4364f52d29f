// Socket addresses as users write them: 127.0.0.1:7007 and [::1]:7007.
#ifndef CAPECHO_SERVER_ADDRESS_H
#define CAPECHO_SERVER_ADDRESS_H

#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include "failure.h"

namespace capecho {

struct endpoint {
  sockaddr_storage storage{};
  socklen_t length = 0;

  const sockaddr* addr() const { return reinterpret_cast<const sockaddr*>(&storage); }
  sockaddr* addr() { return reinterpret_cast<sockaddr*>(&storage); }
};

// Parses a numeric IPv4 ADDR:PORT or bracketed IPv6 [ADDR]:PORT.
// On failure returns false and says why in `why`, which refers to `text`.
bool parse_endpoint(const char* text, endpoint& out, failure& why);

// HOST:PORT, with HOST a name or a numeric address, or [IPV6%SCOPE]:PORT:
// every address HOST resolves to, each once, in the resolver's order. On
// failure returns false and says in `why` what was tried (a piece of `text`)
// and why it failed.
bool resolve_endpoints(const char* text, std::vector<endpoint>& out, failure& why);

// "127.0.0.1:7007", "[::1]:7007", "[fe80::1%eth0]:7007", or "local" for
// anything without an IP address.
std::string format_endpoint(const endpoint& e);

// The same text without allocating, for failure paths and session lines.
struct endpoint_name {
  char text[INET6_ADDRSTRLEN + IF_NAMESIZE + 16];
};
endpoint_name name_of(const endpoint& e);

// The address part alone, as bytes: connections from one host share it.
std::string source_key(const endpoint& e);

}  // namespace capecho

#endif  // CAPECHO_SERVER_ADDRESS_H
