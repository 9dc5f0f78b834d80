#include "submit/png_chunks.h"

#include <array>
#include <cstring>

namespace tph {
namespace {

constexpr std::array<uint32_t, 256> make_crc_table() {
  std::array<uint32_t, 256> t{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[n] = c;
  }
  return t;
}
constexpr std::array<uint32_t, 256> kCrcTable = make_crc_table();

uint32_t crc32(const uint8_t* p, size_t n) {
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) c = kCrcTable[(c ^ p[i]) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

uint32_t be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
         p[3];
}

}  // namespace

bool png_chunks_intact(const uint8_t* data, size_t size) {
  size_t pos = 8;  // after the signature
  while (pos + 12 <= size) {
    const uint32_t length = be32(data + pos);
    if (length > 0x7FFFFFFFu || length > size - pos - 12) return false;
    const uint8_t* type = data + pos + 4;
    if (crc32(type, 4 + static_cast<size_t>(length)) != be32(type + 4 + length)) return false;
    if (std::memcmp(type, "IEND", 4) == 0) return true;
    pos += 12 + static_cast<size_t>(length);
  }
  return false;
}

}  // namespace tph
