#include "submit/label_payload.h"

#include <cstring>

#include "host/error_catalogue.h"
#include "platform/sha256.h"
#include "submit/base64.h"
#include "submit/png_chunks.h"

namespace tph {
namespace {

constexpr uint8_t kSignature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};

bool has_png_header(const uint8_t* p, size_t size) {
  return size >= 24 && std::memcmp(p, kSignature, 8) == 0 && std::memcmp(p + 12, "IHDR", 4) == 0;
}

}  // namespace

Result<std::string> decode_label_payload(const SubmitRequest& request) {
  using namespace errors;
  const RasterPayload& raster = request.payload;
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
  {
    std::optional<RgbaImage> image = decode_png(*png);
    if (!image) return make(kBadRequest, kMsgInvalidPng);
    if (image->width != raster.width_px || image->height != raster.height_px) {
      return make(kBadRequest, kMsgDecodedMismatch);
    }
  }  // the decoded image is released here, before the ledger is consulted
  return std::move(*png);
}

std::string compute_output_fingerprint(const std::string& png, const std::string& printer,
                                       const std::optional<std::string>& media, uint32_t dpi, uint16_t copies) {
  Sha256 sha;
  sha.update(png.data(), png.size());
  sha.update(printer.data(), printer.size());
  if (media) sha.update(media->data(), media->size());
  const uint8_t dpi_le[4] = {static_cast<uint8_t>(dpi), static_cast<uint8_t>(dpi >> 8),
                             static_cast<uint8_t>(dpi >> 16), static_cast<uint8_t>(dpi >> 24)};
  const uint8_t copies_le[2] = {static_cast<uint8_t>(copies), static_cast<uint8_t>(copies >> 8)};
  sha.update(dpi_le, sizeof dpi_le);
  sha.update(copies_le, sizeof copies_le);
  std::array<uint8_t, 32> digest = sha.finish();
  static const char* kHex = "0123456789abcdef";
  std::string out;
  out.reserve(64);
  for (uint8_t b : digest) {
    out += kHex[b >> 4];
    out += kHex[b & 0xF];
  }
  return out;
}

std::optional<uint64_t> decoded_size_from_header(const uint8_t* data, size_t size) {
  if (!has_png_header(data, size) || size < 25) return std::nullopt;
  const uint64_t bytes_per_sample = data[24] == 16 ? 2 : 1;
  return static_cast<uint64_t>(read_be32(data + 16)) * read_be32(data + 20) * 4 * bytes_per_sample;
}

std::optional<RgbaImage> decode_png(const std::string& png) {
  const auto* p = reinterpret_cast<const uint8_t*>(png.data());
  std::optional<uint64_t> need = decoded_size_from_header(p, png.size());
  if (!need || *need > kMaxDecodedBytes) return std::nullopt;
  if (!png_chunks_intact(p, png.size())) return std::nullopt;
  RgbaImage image;
  if (!platform_decode_png(p, png.size(), image)) return std::nullopt;
  if (image.pixels.size() != static_cast<size_t>(image.width) * image.height * 4) return std::nullopt;
  return image;
}

DeviceRaster to_device_raster(RgbaImage image) {
  DeviceRaster raster{image.width, image.height, std::move(image.pixels)};
  uint8_t* px = raster.pixels.data();
  const size_t n = raster.pixels.size();
  for (size_t i = 0; i + 3 < n; i += 4) {
    std::swap(px[i], px[i + 2]);  // RGBA -> BGRA
    px[i + 3] = 255;
  }
  return raster;
}

}  // namespace tph
