#pragma once
#include <cstddef>
#include <cstdint>

namespace tph {

// True when the bytes after the signature form a sequence of chunks, each
// with a correct CRC, up to and including IEND. Checked before either
// platform decoder runs, because one of them (Windows Imaging Component under
// Wine) draws images whose chunk checksums are wrong; both builds must refuse
// the same files. The CRC-32 table is a dozen lines; zlib is not part of the
// Windows build.
bool png_chunks_intact(const uint8_t* data, size_t size);

// A big-endian 32-bit value, as PNG stores its lengths and dimensions.
inline uint32_t read_be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
         p[3];
}

}  // namespace tph
