#include "platform/cups/postscript_pages.h"

#include <zlib.h>

#include <cmath>
#include <cstdio>
#include <vector>

namespace tph::cups {
namespace {

// What the document's bytes are gathered into before they go to the sink.
constexpr size_t kChunk = 64 * 1024;

std::string number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", v);
  return text;
}

// ASCII85 text, a line at most 72 characters after the space that starts it:
// no line then begins with "%", which a DSC reader would take for a comment.
class Ascii85 {
 public:
  explicit Ascii85(std::string& out) : out_(out) {}

  void add(const uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
      group_[held_++] = data[i];
      if (held_ == 4) {
        emit(4);
        held_ = 0;
      }
    }
  }

  void end() {
    if (held_ > 0) {
      for (size_t i = held_; i < 4; ++i) group_[i] = 0;
      emit(held_);
      held_ = 0;
    }
    out_ += "~>\n";
  }

 private:
  void emit(size_t bytes) {
    const uint32_t v = uint32_t{group_[0]} << 24 | uint32_t{group_[1]} << 16 | uint32_t{group_[2]} << 8 | group_[3];
    if (bytes == 4 && v == 0) {
      put('z');
      return;
    }
    char digits[5];
    uint32_t rest = v;
    for (int i = 4; i >= 0; --i) {
      digits[i] = static_cast<char>('!' + rest % 85);
      rest /= 85;
    }
    for (size_t i = 0; i <= bytes; ++i) put(digits[i]);
  }

  void put(char c) {
    if (column_ == 0) out_ += ' ';
    out_ += c;
    if (++column_ == 72) {
      out_ += '\n';
      column_ = 0;
    }
  }

  std::string& out_;
  uint8_t group_[4] = {};
  size_t held_ = 0;
  size_t column_ = 0;
};

// A zlib stream, freed on every path.
class Deflater {
 public:
  Deflater() { ok_ = deflateInit(&z_, Z_DEFAULT_COMPRESSION) == Z_OK; }
  ~Deflater() {
    if (ok_) deflateEnd(&z_);
  }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;
  bool ok() const { return ok_; }

  // Compresses `size` bytes (all of what is left with `last`), handing each
  // piece of output to `out`.
  template <typename Out>
  bool add(const uint8_t* data, size_t size, bool last, Out&& out) {
    z_.next_in = const_cast<Bytef*>(data);
    z_.avail_in = static_cast<uInt>(size);
    for (;;) {
      uint8_t buffer[16 * 1024];
      z_.next_out = buffer;
      z_.avail_out = sizeof buffer;
      const int rc = deflate(&z_, last ? Z_FINISH : Z_NO_FLUSH);
      if (rc == Z_STREAM_ERROR) return false;
      out(buffer, sizeof buffer - z_.avail_out);
      if (last ? rc == Z_STREAM_END : z_.avail_out != 0) return true;
    }
  }

 private:
  z_stream z_{};
  bool ok_ = false;
};

// One row of the image as the page writes it.
void pack_row(const uint8_t* px, uint32_t width, ImageKind kind, uint8_t* out) {
  switch (kind) {
    case ImageKind::kBlackWhite:
      for (uint32_t x = 0; x < width; x += 8) {
        uint8_t byte = 0;
        for (uint32_t k = 0; k < 8; ++k) {
          // A set bit is white; the row's last byte is padded with white.
          const bool white = x + k >= width || px[static_cast<size_t>(x + k) * 4] != 0;
          byte = static_cast<uint8_t>(byte << 1 | (white ? 1 : 0));
        }
        out[x / 8] = byte;
      }
      break;
    case ImageKind::kGrey:
      for (uint32_t x = 0; x < width; ++x) out[x] = px[static_cast<size_t>(x) * 4];
      break;
    case ImageKind::kColour:
      for (uint32_t x = 0; x < width; ++x) {
        out[3 * static_cast<size_t>(x)] = px[4 * static_cast<size_t>(x) + 2];
        out[3 * static_cast<size_t>(x) + 1] = px[4 * static_cast<size_t>(x) + 1];
        out[3 * static_cast<size_t>(x) + 2] = px[4 * static_cast<size_t>(x)];
      }
      break;
  }
}

size_t row_bytes(uint32_t width, ImageKind kind) {
  switch (kind) {
    case ImageKind::kBlackWhite: return (static_cast<size_t>(width) + 7) / 8;
    case ImageKind::kGrey: return width;
    case ImageKind::kColour: return static_cast<size_t>(width) * 3;
  }
  return width;
}

}  // namespace

ImageKind image_kind(const uint8_t* bgrx, uint32_t width, uint32_t height) {
  bool black_white = true;
  const size_t pixels = static_cast<size_t>(width) * height;
  for (size_t i = 0; i < pixels; ++i) {
    const uint8_t* p = bgrx + i * 4;
    if (p[0] != p[1] || p[1] != p[2]) return ImageKind::kColour;
    black_white = black_white && (p[0] == 0 || p[0] == 255);
  }
  return black_white ? ImageKind::kBlackWhite : ImageKind::kGrey;
}

PostScriptPages::PostScriptPages(double width, double height, Sink sink)
    : width_(width), height_(height), sink_(std::move(sink)) {}

OsStatus PostScriptPages::send(const std::string& text) {
  bytes_sent_ += text.size();
  return sink_(text.data(), text.size());
}

std::string PostScriptPages::header() const {
  const std::string w = number(width_), h = number(height_);
  std::string text = "%!PS-Adobe-3.0\n%%Creator: Tavelin print host\n%%LanguageLevel: 3\n%%DocumentData: Clean7Bit\n";
  text += "%%Pages: (atend)\n%%BoundingBox: 0 0 " + std::to_string(static_cast<long>(std::ceil(width_))) + " " +
          std::to_string(static_cast<long>(std::ceil(height_))) + "\n";
  text += "%%HiResBoundingBox: 0 0 " + w + " " + h + "\n%%EndComments\n";
  // The image reads its data through the filters and stops at its last
  // sample; what the filters hold after it (deflate's checksum, the end
  // mark) is read off before the file goes on.
  text += "%%BeginProlog\n/tph_image { image tph_data status { tph_data flushfile } if } bind def\n%%EndProlog\n";
  text += "%%BeginSetup\n/setpagedevice where { pop << /PageSize [" + w + " " + h +
          "] >> setpagedevice } if\n%%EndSetup\n";
  return text;
}

OsStatus PostScriptPages::page(const ImageBox& box, uint32_t width, uint32_t height, const uint8_t* bgrx) {
  const ImageKind kind = image_kind(bgrx, width, height);
  std::string text = pages_ == 0 ? header() : std::string();
  text.reserve(kChunk + 1024);
  ++pages_;
  const std::string n = std::to_string(pages_), w = std::to_string(width), h = std::to_string(height);
  text += "%%Page: " + n + " " + n + "\ngsave\n";
  text += number(box.left) + " " + number(height_ - box.top - box.height) + " translate " + number(box.width) + " " +
          number(box.height) + " scale\n";
  text += kind == ImageKind::kColour ? "/DeviceRGB setcolorspace\n" : "/DeviceGray setcolorspace\n";
  text += "/tph_data currentfile /ASCII85Decode filter def\n";
  text += "<< /ImageType 1 /Width " + w + " /Height " + h + " /BitsPerComponent " +
          (kind == ImageKind::kBlackWhite ? "1" : "8") + " /Decode " +
          (kind == ImageKind::kColour ? "[0 1 0 1 0 1]" : "[0 1]") + " /Interpolate false /ImageMatrix [" + w +
          " 0 0 -" + h + " 0 " + h + "] /DataSource tph_data /FlateDecode filter >> tph_image\n";

  Deflater deflater;
  if (!deflater.ok()) return OsStatus::Fail(0, "Compressing the page failed (zlib)");
  Ascii85 ascii85(text);
  OsStatus sent = OsStatus::Ok();
  auto out = [&](const uint8_t* data, size_t size) {
    ascii85.add(data, size);
    if (text.size() >= kChunk && sent.ok()) {
      sent = send(text);
      text.clear();
    }
  };
  std::vector<uint8_t> row(row_bytes(width, kind));
  for (uint32_t y = 0; y < height && sent.ok(); ++y) {
    pack_row(bgrx + static_cast<size_t>(y) * width * 4, width, kind, row.data());
    if (!deflater.add(row.data(), row.size(), y + 1 == height, out)) {
      return OsStatus::Fail(0, "Compressing the page failed (zlib)");
    }
  }
  if (!sent.ok()) return sent.error();
  ascii85.end();
  text += "grestore\nshowpage\n";
  return send(text);
}

OsStatus PostScriptPages::finish() {
  return send("%%Trailer\n%%Pages: " + std::to_string(pages_) + "\n%%EOF\n");
}

}  // namespace tph::cups
