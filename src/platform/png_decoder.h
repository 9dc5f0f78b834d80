#pragma once
// The platform's PNG decoder. Both implementations must give the same pixels
// for every standard PNG: palette expanded, greyscale to all three colours,
// 16-bit samples reduced as (v + 128) / 257, alpha dropped.

#include <cstddef>
#include <cstdint>

namespace tph {

// Decodes a PNG that holds only IHDR, PLTE, IDAT and IEND (the caller has
// checked its chunks, its image data and that `width` x `height` is what its
// header says and fits the decoded-size limit). With `bgrx` (width x height x
// 4 bytes) each pixel is written there as blue, green, red and any fourth
// byte, rows top to bottom, straight from the decoder's rows; with `bgrx`
// null every row is decoded and dropped, which proves the image decodes
// without holding it. False when the data cannot be decoded.
bool platform_decode_png(const uint8_t* data, size_t size, uint32_t width, uint32_t height, uint8_t* bgrx);

// A 16-bit sample as the 8-bit value both builds print.
inline uint8_t reduce_sample16(uint16_t v) { return static_cast<uint8_t>((v + 128u) / 257u); }

}  // namespace tph
