#pragma once
// From the request's base64 text to PNG bytes, the output fingerprint, the
// decoded image and the device raster that the printer draws.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/host_error.h"
#include "platform/png_decoder.h"
#include "submit/submit_request.h"

namespace tph {

inline constexpr size_t kMaxBase64Chars = 6'990'522;
inline constexpr size_t kMaxPngBytes = 5'242'880;
inline constexpr uint64_t kMaxDecodedBytes = 536'870'912;  // 512 MiB

// Checks the sizes, decodes the base64, checks the PNG header against the
// declared size and proves that the whole image decodes. The decoded image is
// not kept.
Result<std::string> decode_label_payload(const SubmitRequest& request);

// SHA-256 over the PNG bytes, printer, media, dpi (4 bytes LE) and copies (2
// bytes LE), as 64 lower-case hexadecimal digits.
std::string compute_output_fingerprint(const std::string& png, const std::string& printer,
                                       const std::optional<std::string>& media, uint32_t dpi, uint16_t copies);

// The bytes a decoded PNG would take (RGBA at 8 or 16 bits per sample),
// read from its header; nothing when the header is not there.
std::optional<uint64_t> decoded_size_from_header(const uint8_t* data, size_t size);

// Decodes a whole PNG into 8-bit RGBA, refusing images whose decoded form
// would exceed 512 MiB before the decoder allocates anything.
std::optional<RgbaImage> decode_png(const std::string& png);

// Blue, green, red, 255 per pixel, rows top to bottom. Alpha is dropped, not
// blended. Converts in place: no second full-size image exists.
struct DeviceRaster {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> pixels;
};
DeviceRaster to_device_raster(RgbaImage image);

}  // namespace tph
