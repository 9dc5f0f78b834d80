#pragma once
// The PNG container, checked in our own code before either platform decoder
// sees a byte, so that both builds accept and refuse exactly the same files
// and no decoder inflates anything printing does not need.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace tph {

// The file reduced to what printing needs: the signature, IHDR, PLTE, the
// IDAT chunks and IEND, each with its own CRC. Nothing when:
// - a chunk is cut short or its CRC is wrong (checked for every chunk up to
//   IEND, ancillary ones included);
// - a critical chunk is unknown, out of order or repeated, or the IDAT chunks
//   are not one run;
// - the image data is not exactly one complete zlib stream (its Adler-32
//   trailer included) that inflates to exactly the filtered scanlines the
//   header implies.
// Ancillary chunks (text, compressed text, colour profiles, transparency...)
// are dropped unread: alpha is not printed and colour management is not
// applied, so none of them changes a printed pixel. The check inflates the
// image data through a small buffer, never keeping it.
// `check_image_data` false skips the inflation, for bytes that passed it
// before.
std::optional<std::string> essential_png(const uint8_t* data, size_t size, bool check_image_data = true);

// A big-endian 32-bit value, as PNG stores its lengths and dimensions.
inline uint32_t read_be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
         p[3];
}

}  // namespace tph
