#include "submit/label_payload.h"

#include <array>
#include <cstring>
#include <new>

#include "support/error_catalogue.h"
#include "support/base64.h"
#include "platform/png_decoder.h"
#include "submit/png_chunks.h"

namespace tph {
namespace {

constexpr uint8_t kSignature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};

bool has_png_header(const uint8_t* p, size_t size) {
  return size >= 24 && std::memcmp(p, kSignature, 8) == 0 && std::memcmp(p + 12, "IHDR", 4) == 0;
}

}  // namespace

Result<std::string> decode_label_payload(const RasterPayload& raster) {
  using namespace errors;
  if (raster.base64.size() > kMaxBase64Chars) return make(kPayloadTooLarge, kMsgTooLarge);
  std::optional<std::string> png = decode_base64_strict(raster.base64);
  if (!png) return make(kBadRequest, kMsgNotBase64);
  if (png->size() > kMaxPngBytes) return make(kPayloadTooLarge, kMsgTooLarge);
  const auto* p = reinterpret_cast<const uint8_t*>(png->data());
  if (!has_png_header(p, png->size())) return make(kBadRequest, kMsgNotPng);
  const uint32_t width = read_be32(p + 16);
  const uint32_t height = read_be32(p + 20);
  if (width == 0 || height == 0) return make(kBadRequest, kMsgPngDimensions);
  if (width != raster.width_px || height != raster.height_px) return make(kBadRequest, kMsgDeclaredMismatch);
  std::optional<PngSize> decoded = check_png_decodes(*png);
  if (!decoded) return make(kBadRequest, kMsgInvalidPng);
  if (decoded->width != raster.width_px || decoded->height != raster.height_px) {
    return make(kBadRequest, kMsgDecodedMismatch);
  }
  return std::move(*png);
}

std::optional<uint64_t> decoded_size_from_header(const uint8_t* data, size_t size) {
  if (!has_png_header(data, size) || size < 25) return std::nullopt;
  const uint64_t bytes_per_sample = data[24] == 16 ? 2 : 1;
  return static_cast<uint64_t>(read_be32(data + 16)) * read_be32(data + 20) * 4 * bytes_per_sample;
}

namespace {

// The checks both decodes share, then the platform decoder over the
// essential chunks, into the buffer `target` gives for the image's size
// (null: decode and drop the rows), or not at all when it gives none.
template <typename Target>
bool decode_into(const std::string& png, bool check_image_data, Target&& target) {
  const auto* p = reinterpret_cast<const uint8_t*>(png.data());
  std::optional<uint64_t> need = decoded_size_from_header(p, png.size());
  if (!need || *need > kMaxDecodedBytes) return false;
  std::optional<std::string> essential = essential_png(p, png.size(), check_image_data);
  if (!essential) return false;
  const uint32_t width = read_be32(p + 16);
  const uint32_t height = read_be32(p + 20);
  std::optional<uint8_t*> bgrx = target(width, height);
  if (!bgrx) return false;
  return platform_decode_png(reinterpret_cast<const uint8_t*>(essential->data()), essential->size(), width, height,
                             *bgrx);
}

}  // namespace

std::optional<PngSize> check_png_decodes(const std::string& png) {
  PngSize size;
  bool ok = decode_into(png, /*check_image_data=*/true, [&size](uint32_t w, uint32_t h) -> std::optional<uint8_t*> {
    size = {w, h};
    return nullptr;
  });
  if (!ok) return std::nullopt;
  return size;
}

Result<DeviceRaster, DecodeFailure> decode_png(const std::string& png, bool already_checked) {
  DeviceRaster raster;
  bool ok = false;
  // The raster is the one large allocation of a submit, and the essential
  // chunks' copy the next; running out of memory for either is an answer: the
  // caller records the attempt and the host goes on serving.
  try {
    ok = decode_into(png, !already_checked, [&raster](uint32_t w, uint32_t h) -> std::optional<uint8_t*> {
      raster.pixels.resize(static_cast<size_t>(w) * h * 4);
      raster.width = w;
      raster.height = h;
      return raster.pixels.data();
    });
  } catch (const std::bad_alloc&) {
    return DecodeFailure::kOutOfMemory;
  }
  if (!ok) return DecodeFailure::kRefused;
  uint8_t* px = raster.pixels.data();
  for (size_t i = 3; i < raster.pixels.size(); i += 4) px[i] = 255;
  return raster;
}

}  // namespace tph
