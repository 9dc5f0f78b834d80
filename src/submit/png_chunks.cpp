#include "submit/png_chunks.h"

#include <array>
#include <cstring>

namespace tph {
namespace {

// Slicing-by-8 tables: eight bytes a step, which keeps the check small
// beside the decode that follows.
using CrcTables = std::array<std::array<uint32_t, 256>, 8>;
constexpr CrcTables make_crc_tables() {
  CrcTables t{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[0][n] = c;
  }
  for (uint32_t n = 0; n < 256; ++n) {
    for (int k = 1; k < 8; ++k) t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFF];
  }
  return t;
}
constexpr CrcTables kCrc = make_crc_tables();

uint32_t crc32(const uint8_t* p, size_t n) {
  uint32_t c = 0xFFFFFFFFu;
  while (n >= 8) {
    const uint32_t lo = c ^ (uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
    c = kCrc[7][lo & 0xFF] ^ kCrc[6][(lo >> 8) & 0xFF] ^ kCrc[5][(lo >> 16) & 0xFF] ^ kCrc[4][lo >> 24] ^
        kCrc[3][p[4]] ^ kCrc[2][p[5]] ^ kCrc[1][p[6]] ^ kCrc[0][p[7]];
    p += 8;
    n -= 8;
  }
  while (n-- > 0) c = kCrc[0][(c ^ *p++) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

}  // namespace

bool png_chunks_intact(const uint8_t* data, size_t size) {
  size_t pos = 8;  // after the signature
  while (pos + 12 <= size) {
    const uint32_t length = read_be32(data + pos);
    if (length > 0x7FFFFFFFu || length > size - pos - 12) return false;
    const uint8_t* type = data + pos + 4;
    if (crc32(type, 4 + static_cast<size_t>(length)) != read_be32(type + 4 + length)) return false;
    if (std::memcmp(type, "IEND", 4) == 0) return true;
    pos += 12 + static_cast<size_t>(length);
  }
  return false;
}

}  // namespace tph
