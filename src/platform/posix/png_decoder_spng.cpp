#include <spng.h>

#include <memory>

#include "platform/png_decoder.h"

namespace tph {
namespace {

struct CtxDeleter {
  void operator()(spng_ctx* c) const { spng_ctx_free(c); }
};

}  // namespace

bool platform_decode_png(const uint8_t* data, size_t size, RgbaImage& out) {
  std::unique_ptr<spng_ctx, CtxDeleter> ctx(spng_ctx_new(0));
  if (!ctx) return false;
  if (spng_set_png_buffer(ctx.get(), data, size) != 0) return false;
  spng_ihdr ihdr{};
  if (spng_get_ihdr(ctx.get(), &ihdr) != 0) return false;
  out.width = ihdr.width;
  out.height = ihdr.height;
  const size_t pixels = static_cast<size_t>(ihdr.width) * ihdr.height;

  if (ihdr.bit_depth != 16) {
    size_t bytes = 0;
    if (spng_decoded_image_size(ctx.get(), SPNG_FMT_RGBA8, &bytes) != 0 || bytes != pixels * 4) return false;
    out.pixels.resize(bytes);
    return spng_decode_image(ctx.get(), out.pixels.data(), bytes, SPNG_FMT_RGBA8, SPNG_DECODE_TRNS) == 0;
  }
  // 16-bit samples are reduced here as (v + 128) / 257, which the library's
  // own 16-to-8 conversion does not do; the Windows decoder path does the same.
  size_t bytes = 0;
  if (spng_decoded_image_size(ctx.get(), SPNG_FMT_RGBA16, &bytes) != 0 || bytes != pixels * 8) return false;
  std::vector<uint16_t> wide(pixels * 4);
  if (spng_decode_image(ctx.get(), wide.data(), bytes, SPNG_FMT_RGBA16, SPNG_DECODE_TRNS) != 0) return false;
  out.pixels.resize(pixels * 4);
  for (size_t i = 0; i < wide.size(); ++i) out.pixels[i] = static_cast<uint8_t>((wide[i] + 128u) / 257u);
  return true;
}

}  // namespace tph
