#include "load.h"

namespace capecho_bench {

std::string test_chunk(size_t size, unsigned seed) {
  static const char alphabet[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 ,-";
  std::string s(size, 'x');
  uint32_t x = seed * 2654435761u + 1;
  for (char& c : s) {
    x = x * 1103515245u + 12345u;
    c = alphabet[(x >> 16) % (sizeof alphabet - 1)];
  }
  return s;
}

std::string upper_ascii(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

}  // namespace capecho_bench
