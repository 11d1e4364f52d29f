#include "crc32c.h"

#include <array>

namespace capecho {
namespace {

constexpr uint32_t reflected_polynomial = 0x82F63B78;

constexpr std::array<uint32_t, 256> make_table() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) != 0 ? (c >> 1) ^ reflected_polynomial : c >> 1;
    table[i] = c;
  }
  return table;
}

constexpr std::array<uint32_t, 256> table = make_table();

}  // namespace

// A header is checked once per connection and is short: a byte at a time
// is plenty.
uint32_t crc32c(uint32_t crc, const uint8_t* data, size_t len) {
  crc = ~crc;
  for (size_t i = 0; i < len; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

}  // namespace capecho
