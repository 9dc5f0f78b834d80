// Payload decoding: the input as PNG bytes through the header checks, the
// full decode and the device raster; and as base64 text.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "support/base64.h"
#include "submit/label_payload.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  (void)tph::decode_base64_strict(bytes);
  if (size >= 24) {
    tph::SubmitRequest request;
    request.payload.format = "png";
    // Declare what the header says, so the full decode is reached.
    auto be32 = [&](size_t at) {
      return uint32_t(uint8_t(bytes[at])) << 24 | uint32_t(uint8_t(bytes[at + 1])) << 16 |
             uint32_t(uint8_t(bytes[at + 2])) << 8 | uint8_t(bytes[at + 3]);
    };
    uint32_t w = be32(16), h = be32(20);
    if (uint64_t(w) * h > 4'000'000) return 0;  // keep each run small
    std::optional<tph::PngSize> checked = tph::check_png_decodes(bytes);
    tph::Result<tph::DeviceRaster, tph::DecodeFailure> decoded = tph::decode_png(bytes);
    // The check and the decode agree, and the raster is whole.
    if (checked.has_value() != decoded.ok()) std::abort();
    if (decoded.ok()) {
      const tph::DeviceRaster& raster = decoded.value();
      if (raster.width != w || raster.height != h || raster.pixels.size() != size_t(w) * h * 4) std::abort();
    }
  }
  return 0;
}
