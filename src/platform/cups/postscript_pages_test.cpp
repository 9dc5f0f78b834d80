// The PostScript a CUPS document is: read back here as an interpreter would
// take the image (its dictionary, then the ASCII85 and deflate filters), so a
// pixel written wrong, a row padded wrong or a header sent early fails.
#include "platform/cups/postscript_pages.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

namespace tph::cups {
namespace {

// Adobe's ASCII85 up to "~>", whitespace skipped.
std::vector<uint8_t> ascii85_decode(const std::string& text, size_t& end) {
  std::vector<uint8_t> out;
  uint32_t group = 0;
  int count = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '~') {
      end = i + 2;
      if (count > 0) {
        for (int k = count; k < 5; ++k) group = group * 85 + 84;
        for (int k = 0; k < count - 1; ++k) out.push_back(static_cast<uint8_t>(group >> (24 - 8 * k)));
      }
      return out;
    }
    if (c == ' ' || c == '\n') continue;
    if (c == 'z' && count == 0) {
      out.insert(out.end(), 4, 0);
      continue;
    }
    group = group * 85 + static_cast<uint32_t>(c - '!');
    if (++count == 5) {
      for (int k = 0; k < 4; ++k) out.push_back(static_cast<uint8_t>(group >> (24 - 8 * k)));
      group = 0;
      count = 0;
    }
  }
  end = std::string::npos;
  return out;
}

std::vector<uint8_t> inflate_all(const std::vector<uint8_t>& in) {
  std::vector<uint8_t> out(1 << 20);
  uLongf size = out.size();
  EXPECT_EQ(uncompress(out.data(), &size, in.data(), in.size()), Z_OK);
  out.resize(size);
  return out;
}

std::string value_after(const std::string& text, const std::string& key, size_t from) {
  const size_t at = text.find(key, from);
  if (at == std::string::npos) return "";
  const size_t start = at + key.size();
  return text.substr(start, text.find_first_of(" \n", start) - start);
}

// A width x height image whose pixel (x, y) is colour(x, y) as blue, green, red.
template <typename Colour>
std::vector<uint8_t> image(uint32_t width, uint32_t height, Colour colour) {
  std::vector<uint8_t> px(static_cast<size_t>(width) * height * 4, 0xEE);  // the fourth byte is never read
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      const std::array<uint8_t, 3> bgr = colour(x, y);
      std::copy(bgr.begin(), bgr.end(), px.begin() + (static_cast<size_t>(y) * width + x) * 4);
    }
  }
  return px;
}

TEST(PostScriptPages, EachKindOfImageReadsBackAsItsPixels) {
  struct Case {
    const char* name;
    uint32_t width, height;
    std::vector<uint8_t> pixels;
    ImageKind kind;
    std::string bits, colour_space;
    std::vector<uint8_t> samples;  // what the image operator must read, row by row
  };
  // 11 pixels a row: a 1-bit row is two bytes, its last five bits white padding.
  auto bw = [](uint32_t x, uint32_t y) -> std::array<uint8_t, 3> {
    const uint8_t v = (x + y) % 3 == 0 ? 0 : 255;
    return {v, v, v};
  };
  auto grey = [](uint32_t x, uint32_t y) -> std::array<uint8_t, 3> {
    const auto v = static_cast<uint8_t>(x * 20 + y);
    return {v, v, v};
  };
  auto colour = [](uint32_t x, uint32_t y) -> std::array<uint8_t, 3> {
    return {static_cast<uint8_t>(x), static_cast<uint8_t>(y), static_cast<uint8_t>(x == 5 ? 200 : x)};
  };
  std::vector<Case> cases;
  {
    std::vector<uint8_t> s;
    for (uint32_t y = 0; y < 3; ++y) {
      uint32_t bits = 0;
      for (uint32_t x = 0; x < 16; ++x) bits = bits << 1 | (x >= 11 || (x + y) % 3 != 0 ? 1 : 0);
      s.push_back(static_cast<uint8_t>(bits >> 8));
      s.push_back(static_cast<uint8_t>(bits));
    }
    cases.push_back({"black and white", 11, 3, image(11, 3, bw), ImageKind::kBlackWhite, "1", "/DeviceGray", s});
  }
  {
    std::vector<uint8_t> s;
    for (uint32_t y = 0; y < 3; ++y) {
      for (uint32_t x = 0; x < 11; ++x) s.push_back(static_cast<uint8_t>(x * 20 + y));
    }
    cases.push_back({"grey", 11, 3, image(11, 3, grey), ImageKind::kGrey, "8", "/DeviceGray", s});
  }
  {
    std::vector<uint8_t> s;
    for (uint32_t y = 0; y < 3; ++y) {
      for (uint32_t x = 0; x < 11; ++x) {
        s.push_back(static_cast<uint8_t>(x == 5 ? 200 : x));  // red first
        s.push_back(static_cast<uint8_t>(y));
        s.push_back(static_cast<uint8_t>(x));
      }
    }
    cases.push_back({"colour", 11, 3, image(11, 3, colour), ImageKind::kColour, "8", "/DeviceRGB", s});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(image_kind(c.pixels.data(), c.width, c.height), c.kind);
    std::string document;
    PostScriptPages pages(288, 432, [&document](const char* data, size_t size) {
      document.append(data, size);
      return OsStatus::Ok();
    });
    ASSERT_TRUE(pages.page({10, 20, 100, 50}, c.width, c.height, c.pixels.data()).ok());
    ASSERT_TRUE(pages.finish().ok());
    EXPECT_EQ(document.rfind("%!PS-Adobe-3.0\n", 0), 0u);
    EXPECT_NE(document.find(c.colour_space + " setcolorspace"), std::string::npos);
    EXPECT_EQ(value_after(document, "/BitsPerComponent ", 0), c.bits);
    EXPECT_EQ(value_after(document, "/Width ", 0), std::to_string(c.width));
    // 20 points from the top of a 432-point page, 50 high: 362 from its foot.
    EXPECT_NE(document.find("10.000 362.000 translate 100.000 50.000 scale"), std::string::npos);
    const size_t data = document.find("tph_image\n") + 10;
    size_t end = 0;
    const std::vector<uint8_t> deflated = ascii85_decode(document.substr(data), end);
    ASSERT_NE(end, std::string::npos);
    EXPECT_EQ(inflate_all(deflated), c.samples);
    EXPECT_EQ(document.substr(data + end), "\ngrestore\nshowpage\n%%Trailer\n%%Pages: 1\n%%EOF\n");
    // Each data line starts with a space: none can start with "%", which a
    // DSC reader would take for a comment.
    for (size_t line = data - 1; line < data + end - 2; line = document.find('\n', line + 1)) {
      ASSERT_TRUE(document[line + 1] == ' ' || document.compare(line + 1, 2, "~>") == 0) << line;
    }
  }
}

TEST(PostScriptPages, NothingIsSentBeforeAPageAndAFailedSendStopsTheDocument) {
  const std::vector<uint8_t> white(64 * 64 * 4, 255);
  std::string document;
  int sends = 0, fail_at = 0;
  PostScriptPages pages(100, 100, [&](const char* data, size_t size) -> OsStatus {
    if (++sends == fail_at) return OsStatus::Fail(5, "the connection dropped");
    document.append(data, size);
    return OsStatus::Ok();
  });
  EXPECT_EQ(pages.bytes_sent(), 0u);
  ASSERT_TRUE(pages.page({0, 0, 10, 10}, 64, 64, white.data()).ok());
  ASSERT_TRUE(pages.page({0, 0, 10, 10}, 64, 64, white.data()).ok());
  EXPECT_EQ(document.find("%!PS"), document.rfind("%!PS"));  // one header, with the first page
  EXPECT_NE(document.find("%%Page: 2 2\n"), std::string::npos);
  fail_at = sends + 1;
  const OsStatus failed = pages.page({0, 0, 10, 10}, 64, 64, white.data());
  EXPECT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().description, "the connection dropped");
  EXPECT_GT(pages.bytes_sent(), document.size());  // the failed piece is counted: it may have gone out
}

}  // namespace
}  // namespace tph::cups
