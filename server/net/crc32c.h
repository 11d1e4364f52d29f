// CRC-32C (Castagnoli), the checksum a PROXY v2 header may carry.
#ifndef CAPECHO_SERVER_CRC32C_H
#define CAPECHO_SERVER_CRC32C_H

#include <stddef.h>
#include <stdint.h>

namespace capecho {

// Continues `crc` (0 to begin) over `len` bytes.
uint32_t crc32c(uint32_t crc, const uint8_t* data, size_t len);

}  // namespace capecho

#endif  // CAPECHO_SERVER_CRC32C_H
