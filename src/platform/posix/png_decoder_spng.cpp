#include <spng.h>

#include <memory>
#include <vector>

#include "platform/png_decoder.h"

namespace tph {
namespace {

struct CtxDeleter {
  void operator()(spng_ctx* c) const { spng_ctx_free(c); }
};

// Adam7: the first column of each pass and the step between its columns.
constexpr uint32_t kPassX0[7] = {0, 4, 0, 2, 0, 1, 0};
constexpr uint32_t kPassDx[7] = {8, 8, 4, 4, 2, 2, 1};

// One decoded row (8- or 16-bit RGBA) into the device raster: only the
// columns this row carries (all of them, or one Adam7 pass's).
void store_row(const uint8_t* row, bool wide, uint32_t width, uint32_t x0, uint32_t dx, uint8_t* out) {
  for (uint32_t x = x0; x < width; x += dx) {
    uint8_t* d = out + static_cast<size_t>(x) * 4;
    if (wide) {
      const uint8_t* s = row + static_cast<size_t>(x) * 8;
      auto sample = [s](int i) { return reduce_sample16(static_cast<uint16_t>(s[2 * i] | s[2 * i + 1] << 8)); };
      d[0] = sample(2);
      d[1] = sample(1);
      d[2] = sample(0);
    } else {
      const uint8_t* s = row + static_cast<size_t>(x) * 4;
      d[0] = s[2];
      d[1] = s[1];
      d[2] = s[0];
    }
  }
}

}  // namespace

bool platform_decode_png(const uint8_t* data, size_t size, uint32_t width, uint32_t height, uint8_t* bgrx) {
  std::unique_ptr<spng_ctx, CtxDeleter> ctx(spng_ctx_new(0));
  if (!ctx) return false;
  // The caller strips every ancillary chunk; the limits still keep the
  // library from caching more than the file itself, whatever it meets.
  spng_set_chunk_limits(ctx.get(), 8u << 20, 8u << 20);
  if (spng_set_png_buffer(ctx.get(), data, size) != 0) return false;
  spng_ihdr ihdr{};
  if (spng_get_ihdr(ctx.get(), &ihdr) != 0 || ihdr.width != width || ihdr.height != height) return false;

  // 16-bit samples are reduced here as (v + 128) / 257, which the library's
  // own 16-to-8 conversion does not do; the Windows decoder path does the same.
  // The samples come in the machine's byte order (little-endian on every
  // target of this build).
  const bool wide = ihdr.bit_depth == 16;
  const int format = wide ? SPNG_FMT_RGBA16 : SPNG_FMT_RGBA8;
  size_t image_bytes = 0;
  if (spng_decoded_image_size(ctx.get(), format, &image_bytes) != 0) return false;
  const size_t row_bytes = static_cast<size_t>(width) * (wide ? 8 : 4);
  if (image_bytes != row_bytes * height) return false;
  if (spng_decode_image(ctx.get(), nullptr, 0, format, SPNG_DECODE_PROGRESSIVE) != 0) return false;

  std::vector<uint8_t> row(row_bytes);
  const bool interlaced = ihdr.interlace_method != 0;
  for (;;) {
    spng_row_info info{};
    int rc = spng_get_row_info(ctx.get(), &info);
    if (rc == SPNG_EOI) return true;
    if (rc != 0) return false;
    rc = spng_decode_row(ctx.get(), row.data(), row.size());
    if (rc != 0 && rc != SPNG_EOI) return false;
    if (bgrx && info.row_num < height) {
      const uint32_t x0 = interlaced ? kPassX0[info.pass] : 0;
      const uint32_t dx = interlaced ? kPassDx[info.pass] : 1;
      store_row(row.data(), wide, width, x0, dx, bgrx + static_cast<size_t>(info.row_num) * width * 4);
    }
    if (rc == SPNG_EOI) return true;
  }
}

}  // namespace tph
