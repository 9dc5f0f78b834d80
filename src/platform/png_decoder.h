#pragma once
// The platform's PNG decoder. Both implementations must give the same pixels
// for every standard PNG: 8-bit RGBA, palette expanded, transparency as alpha,
// 16-bit samples reduced as (v + 128) / 257.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tph {

struct RgbaImage {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> pixels;  // width * height * 4, rows top to bottom
};

// Decodes a whole PNG file; false when the data cannot be decoded. The caller
// has already bounded the decoded size from the header.
bool platform_decode_png(const uint8_t* data, size_t size, RgbaImage& out);

}  // namespace tph
