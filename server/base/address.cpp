#include "address.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/un.h>

namespace capecho {
namespace {

bool parse_port(const char* text, in_port_t& port) {
  if (*text < '0' || *text > '9' || strlen(text) > 5) return false;
  char* end = nullptr;
  const unsigned long value = strtoul(text, &end, 10);
  if (*end != '\0' || value > 65535) return false;
  port = htons(static_cast<in_port_t>(value));
  return true;
}

bool same_endpoint(const endpoint& a, const endpoint& b) {
  return a.length == b.length && memcmp(&a.storage, &b.storage, a.length) == 0;
}

// Splits HOST:PORT or [HOST]:PORT and reads the port; false, saying why in
// `why`, when it is neither. `host` is a piece of `text`.
bool split_endpoint(const char* text, std::string_view& host, in_port_t& port, bool& bracketed,
                    failure& why) {
  const std::string_view s(text);
  bracketed = !s.empty() && s[0] == '[';
  const size_t colon = bracketed ? s.find("]:") : s.rfind(':');
  if (colon == std::string_view::npos || (bracketed && s.find(']') != colon) || colon == 0) {
    why = {.refused = refusal::not_host_port, .input = s};
    return false;
  }
  host = bracketed ? s.substr(1, colon - 1) : s.substr(0, colon);
  if (!parse_port(text + colon + (bracketed ? 2 : 1), port)) {
    why = {.refused = refusal::port_out_of_range, .input = s};
    return false;
  }
  return true;
}

// unix:PATH, a socket file, the whole path kept with its terminator.
bool parse_unix_endpoint(std::string_view text, endpoint& out, failure& why) {
  auto* a = reinterpret_cast<sockaddr_un*>(&out.storage);
  const std::string_view path = text.substr(unix_prefix.size());
  if (path.empty() || path.size() >= sizeof a->sun_path) {
    why = {.refused = refusal::unix_path_length,
           .input = text,
           .culprit = path,
           .high = static_cast<unsigned>(sizeof a->sun_path - 1)};
    return false;
  }
  out = endpoint{};
  a->sun_family = AF_UNIX;
  memcpy(a->sun_path, path.data(), path.size());
  out.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
  return true;
}

}  // namespace

bool resolve_endpoints(const char* text, std::vector<endpoint>& out, failure& why) {
  const std::string_view s(text);
  if (s.starts_with(unix_prefix)) {
    endpoint e;
    if (!parse_unix_endpoint(s, e, why)) return false;
    out.push_back(e);
    return true;
  }
  std::string_view host;
  in_port_t port = 0;
  bool bracketed = false;
  if (!split_endpoint(text, host, port, bracketed, why)) return false;
  if (!bracketed && host.find(':') != std::string_view::npos) {
    why = {.refused = refusal::ipv6_unbracketed, .input = s, .culprit = host};
    return false;
  }
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | (bracketed ? AI_NUMERICHOST : 0);
  hints.ai_family = bracketed ? AF_INET6 : AF_UNSPEC;
  addrinfo* found = nullptr;
  const std::string port_text = std::to_string(ntohs(port));
  const int rc = getaddrinfo(std::string(host).c_str(), port_text.c_str(), &hints, &found);
  if (rc != 0) {
    why = {.call = "getaddrinfo", .err = rc, .input = s, .culprit = host};
    if (!bracketed || rc != EAI_NONAME) {
      why.refused = refusal::cannot_resolve;
      why.detail = gai_strerror(rc);
    } else if (host.find('%') == std::string_view::npos)
      why.refused = refusal::bracketed_not_ipv6;
    else
      why.refused = refusal::bracketed_not_scoped_ipv6;
    return false;
  }
  const size_t before = out.size();
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    endpoint e;
    if (a->ai_addrlen > sizeof e.storage) continue;
    memcpy(&e.storage, a->ai_addr, a->ai_addrlen);
    e.length = a->ai_addrlen;
    bool seen = false;
    for (size_t i = before; i < out.size(); ++i) seen = seen || same_endpoint(out[i], e);
    if (!seen) out.push_back(e);
  }
  freeaddrinfo(found);
  for (size_t i = before; i < out.size(); ++i) {
    const auto* a = reinterpret_cast<const sockaddr_in6*>(&out[i].storage);
    if (out[i].storage.ss_family == AF_INET6 && IN6_IS_ADDR_V4MAPPED(&a->sin6_addr)) {
      out.resize(before);
      why = {.refused = refusal::ipv4_mapped, .input = s};
      return false;
    }
  }
  if (out.size() == before) {
    why = {.refused = refusal::resolves_to_nothing, .input = s, .culprit = host};
    return false;
  }
  return true;
}

bool parse_endpoint(const char* text, endpoint& out, failure& why) {
  const std::string_view s(text);
  std::string_view host_part;
  in_port_t port = 0;
  bool v6 = false;
  if (!split_endpoint(text, host_part, port, v6, why)) return false;
  const std::string host(host_part);
  out = endpoint{};
  if (v6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&out.storage);
    a->sin6_family = AF_INET6;
    a->sin6_port = port;
    if (inet_pton(AF_INET6, host.c_str(), &a->sin6_addr) == 1) {
      out.length = sizeof *a;
      return true;
    }
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&out.storage);
    a->sin_family = AF_INET;
    a->sin_port = port;
    if (inet_pton(AF_INET, host.c_str(), &a->sin_addr) == 1) {
      out.length = sizeof *a;
      return true;
    }
  }
  why = {.refused = v6 ? refusal::not_numeric_ipv6 : refusal::not_numeric_ipv4,
         .input = s,
         .culprit = host_part};
  return false;
}

// Built with snprintf: GCC 12 at -O3 sees a false overlap in the
// equivalent chain of std::string additions (-Wrestrict).
endpoint_name name_of(const endpoint& e) {
  endpoint_name name{};
  char host[INET6_ADDRSTRLEN];
  if (e.storage.ss_family == AF_INET) {
    const auto* a = reinterpret_cast<const sockaddr_in*>(&e.storage);
    inet_ntop(AF_INET, &a->sin_addr, host, sizeof host);
    (void)snprintf(name.text, sizeof name.text, "%s:%u", host, ntohs(a->sin_port));
  } else if (e.storage.ss_family == AF_INET6) {
    const auto* a = reinterpret_cast<const sockaddr_in6*>(&e.storage);
    inet_ntop(AF_INET6, &a->sin6_addr, host, sizeof host);
    char scope[IF_NAMESIZE + 1] = "";
    if (a->sin6_scope_id != 0 && if_indextoname(a->sin6_scope_id, scope + 1) != nullptr)
      scope[0] = '%';
    (void)snprintf(name.text, sizeof name.text, "[%s%s]:%u", host, scope, ntohs(a->sin6_port));
  } else if (const char* path = unix_path(e); path != nullptr) {
    (void)snprintf(name.text, sizeof name.text, "unix:%s", path);
  } else {
    (void)snprintf(name.text, sizeof name.text, "local");
  }
  return name;
}

const char* unix_path(const endpoint& e) {
  const auto* a = reinterpret_cast<const sockaddr_un*>(&e.storage);
  const bool named = e.storage.ss_family == AF_UNIX && e.length > offsetof(sockaddr_un, sun_path) &&
                     a->sun_path[0] != '\0';
  // The kernel may fill the whole array without a terminator; storage is longer.
  return named ? a->sun_path : nullptr;
}

std::string format_endpoint(const endpoint& e) { return name_of(e).text; }

source_key::source_key(const endpoint& e) {
  if (e.storage.ss_family == AF_INET) {
    const auto* a = reinterpret_cast<const sockaddr_in*>(&e.storage);
    memcpy(address, &a->sin_addr, sizeof a->sin_addr);
  } else if (e.storage.ss_family == AF_INET6) {
    const auto* a = reinterpret_cast<const sockaddr_in6*>(&e.storage);
    memcpy(address, &a->sin6_addr, sizeof a->sin6_addr);
  } else {
    return;
  }
  has_address = true;
  family = e.storage.ss_family;
}

// FNV-1a over the family and the address.
size_t source_key_hash::operator()(const source_key& k) const noexcept {
  uint64_t h = 1469598103934665603ULL;
  const auto mix = [&h](uint8_t byte) { h = (h ^ byte) * 1099511628211ULL; };
  mix(static_cast<uint8_t>(k.family));
  for (const uint8_t byte : k.address) mix(byte);
  return static_cast<size_t>(h);
}

}  // namespace capecho
