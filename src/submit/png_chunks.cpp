#include "submit/png_chunks.h"

#include <zlib.h>

#include <cstring>
#include <vector>

namespace tph {
namespace {

constexpr size_t kSignatureBytes = 8;

bool is_type(const uint8_t* type, const char* name) { return std::memcmp(type, name, 4) == 0; }

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
  static constexpr uint64_t kX0[7] = {0, 4, 0, 2, 0, 1, 0}, kDx[7] = {8, 8, 4, 4, 2, 2, 1};
  static constexpr uint64_t kY0[7] = {0, 0, 4, 0, 2, 0, 1}, kDy[7] = {8, 8, 8, 4, 4, 2, 2};
  uint64_t total = 0;
  for (int p = 0; p < 7; ++p) {
    const uint64_t w = width > kX0[p] ? (width - kX0[p] + kDx[p] - 1) / kDx[p] : 0;
    const uint64_t h = height > kY0[p] ? (height - kY0[p] + kDy[p] - 1) / kDy[p] : 0;
    total += rows(w, h);
  }
  return total;
}

// Inflates the concatenated IDAT contents through a small buffer: true when
// they are one whole zlib stream, ending exactly at the end of the data and
// giving exactly `expected` bytes.
bool image_data_intact(const std::vector<std::pair<const uint8_t*, size_t>>& parts, uint64_t expected) {
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
    if (produced > expected) break;
    if (rc != Z_OK && rc != Z_STREAM_END) break;
  }
  bool rest_empty = z.avail_in == 0;
  for (size_t i = part; i < parts.size() && rest_empty; ++i) rest_empty = parts[i].second == 0;
  inflateEnd(&z);
  return rc == Z_STREAM_END && produced == expected && rest_empty;
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
      // Only a palette image draws from it; for true colour it is a mere
      // suggestion for other displays.
      if (colour == 3) append_chunk(out, chunk, length);
    } else if (is_type(type, "IEND")) {
      if (idat.empty() || (ihdr[9] == 3 && !plte)) return std::nullopt;
      std::optional<uint64_t> expected = filtered_size(ihdr);
      if (!expected || (check_image_data && !image_data_intact(idat, *expected))) return std::nullopt;
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
