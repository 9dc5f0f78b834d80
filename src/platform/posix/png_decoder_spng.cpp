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

// Grey and palette images of at most 8 bits a sample, not interlaced, are
// decoded as their packed samples and expanded here: the library's
// conversion to RGBA costs several times more for each pixel of a
// low-depth image than the image's own data does. `colours` maps each
// sample value (grey level or palette index) to blue, green, red.
bool decode_packed_rows(spng_ctx* ctx, const spng_ihdr& ihdr, const uint8_t (*colours)[3], uint8_t* bgrx) {
  const uint32_t depth = ihdr.bit_depth;
  const size_t row_bytes = (static_cast<size_t>(ihdr.width) * depth + 7) / 8;
  size_t image_bytes = 0;
  if (spng_decoded_image_size(ctx, SPNG_FMT_PNG, &image_bytes) != 0 || image_bytes != row_bytes * ihdr.height) {
    return false;
  }
  if (spng_decode_image(ctx, nullptr, 0, SPNG_FMT_PNG, SPNG_DECODE_PROGRESSIVE) != 0) return false;
  std::vector<uint8_t> row(row_bytes);
  const uint32_t per_byte = 8 / depth;
  const uint8_t mask = static_cast<uint8_t>((1u << depth) - 1);
  for (;;) {
    spng_row_info info{};
    int rc = spng_get_row_info(ctx, &info);
    if (rc == SPNG_EOI) return true;
    if (rc != 0) return false;
    rc = spng_decode_row(ctx, row.data(), row.size());
    if (rc != 0 && rc != SPNG_EOI) return false;
    if (bgrx && info.row_num < ihdr.height) {
      uint8_t* d = bgrx + static_cast<size_t>(info.row_num) * ihdr.width * 4;
      uint32_t x = 0;
      for (size_t i = 0; i < row_bytes && x < ihdr.width; ++i) {
        const uint8_t byte = row[i];
        for (uint32_t k = 0; k < per_byte && x < ihdr.width; ++k, ++x, d += 4) {
          const uint8_t* c = colours[(byte >> (8 - depth * (k + 1))) & mask];
          d[0] = c[0];
          d[1] = c[1];
          d[2] = c[2];
        }
      }
    }
    if (rc == SPNG_EOI) return true;
  }
}

}  // namespace

bool platform_decode_png(const uint8_t* data, size_t size, uint32_t width, uint32_t height, uint8_t* bgrx) {
  // The caller has verified every chunk's CRC and the image data's zlib
  // stream, Adler-32 included, on these same bytes: checking them again
  // would cost a pass over the decoded image.
  std::unique_ptr<spng_ctx, CtxDeleter> ctx(spng_ctx_new(SPNG_CTX_IGNORE_ADLER32));
  if (!ctx) return false;
  spng_set_crc_action(ctx.get(), SPNG_CRC_USE, SPNG_CRC_USE);
  // The caller strips every ancillary chunk; the limits still keep the
  // library from caching more than the file itself, whatever it meets.
  spng_set_chunk_limits(ctx.get(), 8u << 20, 8u << 20);
  if (spng_set_png_buffer(ctx.get(), data, size) != 0) return false;
  spng_ihdr ihdr{};
  if (spng_get_ihdr(ctx.get(), &ihdr) != 0 || ihdr.width != width || ihdr.height != height) return false;

  const bool grey = ihdr.color_type == SPNG_COLOR_TYPE_GRAYSCALE;
  const bool palette = ihdr.color_type == SPNG_COLOR_TYPE_INDEXED;
  if ((grey || palette) && ihdr.bit_depth <= 8 && ihdr.interlace_method == 0) {
    uint8_t colours[256][3] = {};
    if (grey) {
      // A level scaled to 8 bits: 1 bit gives 0 or 255, 2 bits steps of 85, 4 bits of 17.
      const uint32_t top = (1u << ihdr.bit_depth) - 1;
      for (uint32_t v = 0; v <= top; ++v) colours[v][0] = colours[v][1] = colours[v][2] = static_cast<uint8_t>(v * 255 / top);
    } else {
      spng_plte plte{};
      if (spng_get_plte(ctx.get(), &plte) != 0) return false;
      for (uint32_t i = 0; i < plte.n_entries && i < 256; ++i) {
        colours[i][0] = plte.entries[i].blue;
        colours[i][1] = plte.entries[i].green;
        colours[i][2] = plte.entries[i].red;
      }
    }
    return decode_packed_rows(ctx.get(), ihdr, colours, bgrx);
  }

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
