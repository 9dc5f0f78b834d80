#pragma once
// From the request's base64 text to PNG bytes, the decoded image and the
// device raster that the printer draws.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/host_error.h"
#include "submit/submit_request.h"
#include "support/protocol_limits.h"

namespace tph {

inline constexpr size_t kMaxBase64Chars = 6'990'522;
inline constexpr size_t kMaxPngBytes = protocol_limits::kMaxPngBytes;
// The base64 text of the largest PNG, or of the largest raw label, fits.
static_assert(kMaxBase64Chars >= 4 * ((protocol_limits::kMaxPngBytes + 2) / 3));
static_assert(kMaxBase64Chars >= 4 * ((protocol_limits::kMaxRawBytes + 2) / 3));
inline constexpr uint64_t kMaxDecodedBytes = 536'870'912;  // 512 MiB

// Checks the sizes, decodes the base64, checks the PNG header against the
// declared size and proves that the whole image decodes. The decoded image is
// not kept.
Result<std::string> decode_label_payload(const RasterPayload& raster);

// The bytes a decoded PNG would take (RGBA at 8 or 16 bits per sample),
// read from its header; nothing when the header is not there.
std::optional<uint64_t> decoded_size_from_header(const uint8_t* data, size_t size);

// Blue, green, red, 255 per pixel, rows top to bottom. Alpha is dropped, not
// blended.
struct DeviceRaster {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> pixels;
};

// The outcome of a decode: the image's size when it decodes.
struct PngSize {
  uint32_t width = 0;
  uint32_t height = 0;
};

// Proves that the whole PNG decodes, refusing images whose decoded form
// would exceed 512 MiB before the decoder allocates anything. Rows are
// decoded and dropped: the cost is a row, not the image.
std::optional<PngSize> check_png_decodes(const std::string& png);

// Why a PNG did not become a device raster.
enum class DecodeFailure {
  kRefused,      // the PNG is refused by the checks or the decoder
  kOutOfMemory,  // the raster's memory cannot be had
};

// Decodes a whole PNG straight into the device raster, with the same checks
// (but for the inflation of the image data when `already_checked`: the same
// bytes passed check_png_decodes in this request).
Result<DeviceRaster, DecodeFailure> decode_png(const std::string& png, bool already_checked = false);

}  // namespace tph
