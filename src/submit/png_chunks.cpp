#include "submit/png_chunks.h"

#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace tph {
namespace {

constexpr size_t kSignatureBytes = 8;

bool is_type(const uint8_t* type, const char* name) { return std::memcmp(type, name, 4) == 0; }

// Adam7: where each pass starts and how far apart its pixels are.
constexpr uint64_t kPassX0[7] = {0, 4, 0, 2, 0, 1, 0}, kPassDx[7] = {8, 8, 4, 4, 2, 2, 1};
constexpr uint64_t kPassY0[7] = {0, 0, 4, 0, 2, 0, 1}, kPassDy[7] = {8, 8, 8, 4, 4, 2, 2};

// Bytes of filtered scanlines (a filter byte per row) that the image data
// must inflate to, from the header; pass by pass for Adam7.
std::optional<uint64_t> filtered_size(const uint8_t* ihdr) {
  const uint64_t width = read_be32(ihdr);
  const uint64_t height = read_be32(ihdr + 4);
  const uint8_t depth = ihdr[8];
  const uint8_t colour = ihdr[9];
  const uint8_t interlace = ihdr[12];
  uint64_t channels;
  switch (colour) {
    case 0: channels = 1; break;
    case 2: channels = 3; break;
    case 3: channels = 1; break;
    case 4: channels = 2; break;
    case 6: channels = 4; break;
    default: return std::nullopt;
  }
  if (depth != 1 && depth != 2 && depth != 4 && depth != 8 && depth != 16) return std::nullopt;
  if (interlace > 1 || ihdr[10] != 0 || ihdr[11] != 0) return std::nullopt;
  const uint64_t bits = channels * depth;
  auto rows = [bits](uint64_t w, uint64_t h) -> uint64_t {
    if (w == 0 || h == 0) return 0;
    return h * (1 + (w * bits + 7) / 8);
  };
  if (interlace == 0) return rows(width, height);
  uint64_t total = 0;
  for (int p = 0; p < 7; ++p) {
    const uint64_t w = width > kPassX0[p] ? (width - kPassX0[p] + kPassDx[p] - 1) / kPassDx[p] : 0;
    const uint64_t h = height > kPassY0[p] ? (height - kPassY0[p] + kPassDy[p] - 1) / kPassDy[p] : 0;
    total += rows(w, h);
  }
  return total;
}

// Follows the inflated scanlines of a palette image, row by row and pass by
// pass, undoing each row's filter, and checks that every pixel's index
// names an entry of the palette. Decoders differ on an index past the
// palette (black in one, whatever memory follows in another), so such an
// image is refused like any other undecodable one. Holds two rows.
class PaletteIndexCheck {
 public:
  PaletteIndexCheck(const uint8_t* ihdr, uint32_t entries)
      : width_(read_be32(ihdr)), height_(read_be32(ihdr + 4)), depth_(ihdr[8]), entries_(entries),
        passes_(ihdr[12] == 1 ? 7 : 1) {
    start_pass(0);
  }

  // False once a row has an unknown filter or an index past the palette.
  bool feed(const uint8_t* data, size_t size) {
    for (size_t i = 0; i < size && ok_; ++i) {
      while (rows_left_ == 0 && pass_ < passes_) start_pass(pass_ + 1);
      if (pass_ >= passes_) return ok_;  // more data than rows: the size check refuses it
      row_[fill_++] = data[i];
      if (fill_ == row_.size()) finish_row();
    }
    return ok_;
  }
  bool ok() const { return ok_; }

 private:
  void start_pass(int pass) {
    pass_ = pass;
    if (pass_ >= passes_) return;
    uint64_t w = width_, h = height_;
    if (passes_ == 7) {
      w = width_ > kPassX0[pass] ? (width_ - kPassX0[pass] + kPassDx[pass] - 1) / kPassDx[pass] : 0;
      h = height_ > kPassY0[pass] ? (height_ - kPassY0[pass] + kPassDy[pass] - 1) / kPassDy[pass] : 0;
    }
    pass_width_ = w;
    rows_left_ = w == 0 ? 0 : h;
    const size_t bytes = w == 0 ? 0 : static_cast<size_t>(1 + (w * depth_ + 7) / 8);
    row_.assign(bytes, 0);
    previous_.assign(bytes, 0);
    fill_ = 0;
  }

  void finish_row() {
    // Filters work on bytes; a palette pixel is at most one byte, so the
    // byte to the left is the one before.
    uint8_t* x = row_.data() + 1;
    const uint8_t* up = previous_.data() + 1;
    const size_t n = row_.size() - 1;
    switch (row_[0]) {
      case 0: break;
      case 1: for (size_t i = 1; i < n; ++i) x[i] = static_cast<uint8_t>(x[i] + x[i - 1]); break;
      case 2: for (size_t i = 0; i < n; ++i) x[i] = static_cast<uint8_t>(x[i] + up[i]); break;
      case 3:
        for (size_t i = 0; i < n; ++i) x[i] = static_cast<uint8_t>(x[i] + ((i ? x[i - 1] : 0) + up[i]) / 2);
        break;
      case 4:
        for (size_t i = 0; i < n; ++i) {
          const int a = i ? x[i - 1] : 0, b = up[i], c = i ? up[i - 1] : 0;
          const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
          x[i] = static_cast<uint8_t>(x[i] + (pa <= pb && pa <= pc ? a : pb <= pc ? b : c));
        }
        break;
      default: ok_ = false; return;
    }
    const unsigned mask = (1u << depth_) - 1;
    for (uint64_t px = 0; px < pass_width_; ++px) {
      const uint64_t bit = px * depth_;
      const unsigned index = (x[bit / 8] >> (8 - depth_ - bit % 8)) & mask;
      if (index >= entries_) {
        ok_ = false;
        return;
      }
    }
    row_.swap(previous_);
    fill_ = 0;
    --rows_left_;
  }

  const uint64_t width_, height_;
  const unsigned depth_;
  const uint32_t entries_;
  const int passes_;
  int pass_ = 0;
  uint64_t pass_width_ = 0;
  uint64_t rows_left_ = 0;
  std::vector<uint8_t> row_, previous_;
  size_t fill_ = 0;
  bool ok_ = true;
};

// Inflates the concatenated IDAT contents through a small buffer: true when
// they are one whole zlib stream, ending exactly at the end of the data and
// giving exactly `expected` bytes, and, for a palette image, every index
// names a palette entry.
bool image_data_intact(const std::vector<std::pair<const uint8_t*, size_t>>& parts, uint64_t expected,
                       PaletteIndexCheck* palette) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return false;
  uint8_t sink[64 * 1024];
  uint64_t produced = 0;
  int rc = Z_OK;
  size_t part = 0;
  while (rc != Z_STREAM_END) {
    if (z.avail_in == 0) {
      if (part == parts.size()) break;  // the data ended before the stream did
      z.next_in = const_cast<Bytef*>(parts[part].first);
      z.avail_in = static_cast<uInt>(parts[part].second);
      ++part;
      continue;
    }
    z.next_out = sink;
    z.avail_out = sizeof sink;
    rc = inflate(&z, Z_NO_FLUSH);
    produced += sizeof sink - z.avail_out;
    if (palette && !palette->feed(sink, sizeof sink - z.avail_out)) break;
    if (produced > expected) break;
    if (rc != Z_OK && rc != Z_STREAM_END) break;
  }
  bool rest_empty = z.avail_in == 0;
  for (size_t i = part; i < parts.size() && rest_empty; ++i) rest_empty = parts[i].second == 0;
  inflateEnd(&z);
  return rc == Z_STREAM_END && produced == expected && rest_empty && (!palette || palette->ok());
}

void append_chunk(std::string& out, const uint8_t* chunk, size_t length) {
  out.append(reinterpret_cast<const char*>(chunk), 12 + length);
}

}  // namespace

std::optional<std::string> essential_png(const uint8_t* data, size_t size, bool check_image_data) {
  if (size < kSignatureBytes) return std::nullopt;
  std::string out(reinterpret_cast<const char*>(data), kSignatureBytes);
  std::vector<std::pair<const uint8_t*, size_t>> idat;
  const uint8_t* ihdr = nullptr;
  bool plte = false, idat_ended = false;
  uint32_t palette_entries = 0;
  size_t pos = kSignatureBytes;
  while (pos + 12 <= size) {
    const uint32_t length = read_be32(data + pos);
    if (length > 0x7FFFFFFFu || length > size - pos - 12) return std::nullopt;
    const uint8_t* chunk = data + pos;
    const uint8_t* type = chunk + 4;
    // zlib's CRC-32 is the one PNG uses.
    const uLong crc = crc32(crc32(0L, Z_NULL, 0), type, 4 + length);
    if (crc != read_be32(type + 4 + length)) return std::nullopt;
    pos += 12 + static_cast<size_t>(length);
    const bool first = ihdr == nullptr;
    if (is_type(type, "IHDR")) {
      if (!first || length != 13) return std::nullopt;
      ihdr = type + 4;
      append_chunk(out, chunk, length);
      continue;
    }
    if (first) return std::nullopt;  // IHDR comes first
    if (is_type(type, "IDAT")) {
      if (idat_ended) return std::nullopt;
      idat.emplace_back(type + 4, length);
      append_chunk(out, chunk, length);
      continue;
    }
    if (!idat.empty()) idat_ended = true;
    if (is_type(type, "PLTE")) {
      const uint8_t colour = ihdr[9];
      if (plte || !idat.empty() || colour == 0 || colour == 4) return std::nullopt;
      if (length == 0 || length % 3 != 0 || length > 3 * 256) return std::nullopt;
      plte = true;
      palette_entries = length / 3;
      // Only a palette image draws from it; for true colour it is a mere
      // suggestion for other displays.
      if (colour == 3) append_chunk(out, chunk, length);
    } else if (is_type(type, "IEND")) {
      if (idat.empty() || (ihdr[9] == 3 && !plte)) return std::nullopt;
      std::optional<uint64_t> expected = filtered_size(ihdr);
      if (!expected) return std::nullopt;
      if (check_image_data) {
        std::optional<PaletteIndexCheck> palette;
        if (ihdr[9] == 3) palette.emplace(ihdr, palette_entries);
        if (!image_data_intact(idat, *expected, palette ? &*palette : nullptr)) return std::nullopt;
      }
      append_chunk(out, chunk, length);
      return out;
    } else if ((type[0] & 0x20) == 0) {
      return std::nullopt;  // an unknown critical chunk: no decoder may skip it
    }
    // Ancillary: dropped.
  }
  return std::nullopt;
}

}  // namespace tph
