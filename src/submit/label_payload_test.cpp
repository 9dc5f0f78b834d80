#include "submit/fingerprint.h"
#include "submit/label_payload.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include "fakes/test_data.h"
#include "platform/sha256.h"
#include "support/base64.h"
#include "submit/png_chunks.h"

namespace tph {
namespace {

using testing::encode_base64;
using testing::read_data;

TEST(Base64, StrictRules) {
  struct Case {
    std::string text;
    std::optional<std::string> bytes;
  } cases[] = {
      {"", std::string()},
      {"QQ==", std::string("A")},
      {"QUI=", std::string("AB")},
      {"QUJD", std::string("ABC")},
      {"+/+/", std::string("\xfb\xff\xbf")},
      {"QQ", std::nullopt},         // padding missing
      {"QQ=", std::nullopt},
      {"QR==", std::nullopt},       // non-zero bits after the data
      {"QUJ=", std::nullopt},
      {"Q===", std::nullopt},
      {"====", std::nullopt},
      {"QQ==QUJD", std::nullopt},   // padding in the middle
      {"QU JD", std::nullopt},
      {"QUJD\n", std::nullopt},
      {"QU-_", std::nullopt},       // URL alphabet
      {"data:image/png;base64,QUJD", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(decode_base64_strict(c.text), c.bytes) << c.text;
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  EXPECT_EQ(decode_base64_strict(encode_base64(all)), all);
}

SubmitRequest request_for(const std::string& png, uint32_t w, uint32_t h) {
  SubmitRequest r;
  r.payload = {"png", encode_base64(png), w, h};
  return r;
}

TEST(DecodeLabelPayload, ChecksInOrder) {
  const std::string good = read_data("ct6_d8.png");  // 19 x 13
  std::string zero_width = good;
  zero_width[16] = zero_width[17] = zero_width[18] = zero_width[19] = 0;
  struct Case {
    std::string name;
    SubmitRequest request;
    const char* code;
    std::string message;
  } cases[] = {
      {"too long even if not base64", [] { SubmitRequest r; r.payload.base64 = std::string(kMaxBase64Chars + 1, '!'); return r; }(),
       "PAYLOAD_TOO_LARGE", "The PNG label exceeds the helper limit."},
      {"not base64", [] { SubmitRequest r; r.payload.base64 = "QUJD\n"; return r; }(), "BAD_REQUEST",
       "The raster payload is not valid base64."},
      {"decoded too large", request_for(std::string(kMaxPngBytes + 1, 'x'), 19, 13), "PAYLOAD_TOO_LARGE",
       "The PNG label exceeds the helper limit."},
      {"23 bytes", request_for(good.substr(0, 23), 19, 13), "BAD_REQUEST", "The raster payload is not a PNG."},
      {"jpeg", request_for("\xff\xd8\xff\xe0" + std::string(40, '\0'), 19, 13), "BAD_REQUEST", "The raster payload is not a PNG."},
      {"gif", request_for("GIF89a" + std::string(40, '\0'), 19, 13), "BAD_REQUEST", "The raster payload is not a PNG."},
      {"zero width", request_for(zero_width, 7, 7), "BAD_REQUEST", "The PNG has invalid dimensions."},
      {"swapped", request_for(good, 13, 19), "BAD_REQUEST", "Declared raster dimensions do not match the PNG."},
      {"short image data", request_for(read_data("short_idat.png"), 19, 13), "BAD_REQUEST",
       "The raster payload is not a valid PNG image."},
      {"bad crc", request_for(read_data("bad_crc.png"), 19, 13), "BAD_REQUEST",
       "The raster payload is not a valid PNG image."},
  };
  for (const auto& c : cases) {
    Result<std::string> r = decode_label_payload(c.request.payload);
    ASSERT_FALSE(r.ok()) << c.name;
    EXPECT_STREQ(r.error().code_name(), c.code) << c.name;
    EXPECT_EQ(r.error().message, c.message) << c.name;
  }
  Result<std::string> ok = decode_label_payload(request_for(good + "trailing bytes", 19, 13).payload);
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(ok.value(), good + "trailing bytes");
}

TEST(DecodeLabelPayload, SizeLimitsAreInclusive) {
  std::string text(kMaxBase64Chars, 'A');
  SubmitRequest r;
  r.payload.base64 = text;  // length not a multiple of 4: gets past the size check to base64
  EXPECT_EQ(decode_label_payload(r.payload).error().message, "The raster payload is not valid base64.");
  EXPECT_EQ(decode_label_payload(request_for(std::string(kMaxPngBytes, 'x'), 19, 13).payload).error().message,
            "The raster payload is not a PNG.");
}

TEST(DecodePng, EveryColourTypeAndDepthGivesTheExpectedDeviceRaster) {
  const char* names[] = {"ct0_d1", "ct0_d2", "ct0_d4", "ct0_d8", "ct0_d16", "ct2_d8", "ct2_d16", "ct3_d1",
                         "ct3_d2", "ct3_d4", "ct3_d8", "ct4_d8", "ct4_d16", "ct6_d8", "ct6_d16", "ct2_d8_trns"};
  for (std::string name : names) {
    for (std::string suffix : {"", "_i"}) {
      if (name == "ct2_d8_trns" && !suffix.empty()) continue;
      const std::string png = read_data(name + suffix + ".png");
      Result<DeviceRaster, DecodeFailure> decoded = decode_png(png);
      ASSERT_TRUE(decoded.ok()) << name << suffix;
      const DeviceRaster* raster = &decoded.value();
      EXPECT_EQ(raster->width, 19u);
      EXPECT_EQ(raster->height, 13u);
      const std::string expected = read_data(name + suffix + ".bgrx");
      EXPECT_TRUE(raster->pixels == std::vector<uint8_t>(expected.begin(), expected.end())) << name << suffix;
      std::optional<PngSize> checked = check_png_decodes(png);
      ASSERT_TRUE(checked) << name << suffix;
      EXPECT_EQ(checked->width, 19u);
    }
  }
}

TEST(DecodePng, RefusesDamagedFilesAndOversizedImagesBeforeDecoding) {
  EXPECT_FALSE(decode_png(read_data("bad_crc.png")).ok());
  EXPECT_FALSE(decode_png(read_data("short_idat.png")).ok());
  std::string header = read_data("ct6_d16.png").substr(0, 33);
  auto set_size = [&header](uint32_t w, uint32_t h, uint8_t depth) {
    for (int i = 0; i < 4; ++i) {
      header[16 + i] = static_cast<char>(w >> (24 - 8 * i));
      header[20 + i] = static_cast<char>(h >> (24 - 8 * i));
    }
    header[24] = static_cast<char>(depth);
    return decoded_size_from_header(reinterpret_cast<const uint8_t*>(header.data()), header.size());
  };
  EXPECT_EQ(set_size(10000, 10000, 16), 800'000'000u);
  EXPECT_GT(*set_size(10000, 10000, 16), kMaxDecodedBytes);
  EXPECT_EQ(set_size(10000, 10000, 8), 400'000'000u);
  EXPECT_LE(*set_size(10000, 10000, 8), kMaxDecodedBytes);

}

TEST(Sha256, KnownVector) {
  Sha256 sha;
  sha.update("ab", 2);
  sha.update("c", 1);
  OsResult<std::array<uint8_t, 32>> d = sha.finish();
  ASSERT_TRUE(d.ok());
  EXPECT_EQ(d.value()[0], 0xba);
  EXPECT_EQ(d.value()[1], 0x78);
  EXPECT_EQ(d.value()[31], 0xad);
  // The library refuses data after the digest was taken; that failure must
  // surface, not yield a digest of whatever the context holds.
  sha.update("d", 1);
  EXPECT_FALSE(sha.finish().ok());
}

std::string sha_hex(const std::string& bytes) {
  Sha256 sha;
  sha.update(bytes.data(), bytes.size());
  std::string out;
  const std::array<uint8_t, 32> digest = sha.finish().value();
  for (uint8_t b : digest) {
    static const char* hex = "0123456789abcdef";
    out += hex[b >> 4];
    out += hex[b & 15];
  }
  return out;
}

std::string le(uint64_t v, int bytes) {
  std::string s;
  for (int i = 0; i < bytes; ++i) s += static_cast<char>(v >> (8 * i));
  return s;
}

TEST(Fingerprint, EachFieldCarriesItsLength) {
  const std::string expected = sha_hex(le(17, 8) + "tavelin.print/png" + le(3, 8) + "PNG" + le(5, 8) + "Queue" +
                                       std::string(1, '\1') + le(5, 8) + "media" + le(300, 4) + le(2, 2));
  EXPECT_EQ(compute_output_fingerprint("PNG", "Queue", std::string("media"), 300, 2).value().fingerprint, expected);
  // Bytes moved between printer and media, or a media token dropped, are other output.
  const std::string moved = compute_output_fingerprint("PNG", "Queuemed", std::string("ia"), 300, 2).value().fingerprint;
  const std::string none = compute_output_fingerprint("PNG", "Queuemedia", std::nullopt, 300, 2).value().fingerprint;
  EXPECT_NE(moved, expected);
  EXPECT_NE(none, expected);
  EXPECT_NE(compute_output_fingerprint("PNG", "Queue", std::string("media"), 300, 1).value().fingerprint, expected);
  EXPECT_NE(output_fingerprint("tavelin.print/raw", "PNG", "Queue", std::string("media"), 300, 2).value(), expected);
}

TEST(Fingerprint, ADocumentCoversEveryPageInOrder) {
  const std::string tail = le(5, 8) + "Queue" + std::string(1, '\0') + le(300, 4) + le(2, 2);
  const std::string expected =
      sha_hex(le(22, 8) + "tavelin.print/document" + le(2, 8) + le(2, 8) + "AB" + le(1, 8) + "C" + tail);
  EXPECT_EQ(document_fingerprint({"AB", "C"}, "Queue", std::nullopt, 300, 2).value(), expected);
  // Pages swapped or bytes moved across a page boundary are other output;
  // one page is not a single label.
  for (const std::vector<std::string>& other : std::vector<std::vector<std::string>>{{"C", "AB"}, {"A", "BC"}, {"ABC"}}) {
    EXPECT_NE(document_fingerprint(other, "Queue", std::nullopt, 300, 2).value(), expected);
  }
  EXPECT_NE(document_fingerprint({"ABC"}, "Queue", std::nullopt, 300, 2).value(),
            output_fingerprint(kPngFingerprintDomain, "ABC", "Queue", std::nullopt, 300, 2).value());
}

TEST(Fingerprint, TheOlderLayoutIsStillComputed) {
  const std::string joined = std::string("PNGQueuemedia") + std::string("\x2c\x01\x00\x00\x02\x00", 6);
  EXPECT_EQ(compute_output_fingerprint("PNG", "Queue", std::string("media"), 300, 2).value().legacy_fingerprint,
            sha_hex(joined));
}

// A PNG chunk with its CRC.
std::string chunk(const char* type, const std::string& data) {
  std::string c = le(0, 0);
  const uint32_t n = static_cast<uint32_t>(data.size());
  c += {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8), static_cast<char>(n)};
  std::string body = std::string(type, 4) + data;
  const uint32_t crc = static_cast<uint32_t>(::crc32(0, reinterpret_cast<const Bytef*>(body.data()), body.size()));
  return c + body +
         std::string{static_cast<char>(crc >> 24), static_cast<char>(crc >> 16), static_cast<char>(crc >> 8),
                     static_cast<char>(crc)};
}

// The chunks of a committed PNG, split as signature, IHDR, everything up to
// IEND, IEND.
struct PngParts {
  std::string signature, ihdr, middle, iend;
};
PngParts split(const std::string& png) {
  PngParts p;
  p.signature = png.substr(0, 8);
  p.ihdr = png.substr(8, 25);
  p.iend = png.substr(png.size() - 12);
  p.middle = png.substr(33, png.size() - 12 - 33);
  return p;
}

std::string zlib_of(const std::string& raw, bool keep_trailer = true) {
  uLongf n = compressBound(raw.size());
  std::string out(n, '\0');
  compress(reinterpret_cast<Bytef*>(out.data()), &n, reinterpret_cast<const Bytef*>(raw.data()), raw.size());
  out.resize(keep_trailer ? n : n - 4);
  return out;
}

std::optional<std::string> essential(const std::string& png) {
  return essential_png(reinterpret_cast<const uint8_t*>(png.data()), png.size());
}

TEST(PngChunks, KeepsWhatPrintingNeedsAndDropsTheRest) {
  const std::string good = read_data("ct6_d8.png");
  PngParts p = split(good);
  ASSERT_TRUE(essential(good));
  EXPECT_EQ(*essential(good + "after the end"), *essential(good));
  // A compressed text chunk that would inflate to 20 MB is dropped unread.
  const std::string bomb = chunk("zTXt", std::string("k\0\0", 3) + zlib_of(std::string(20'000'000, 'a')));
  const std::string with_bomb = p.signature + p.ihdr + bomb + p.middle + p.iend;
  ASSERT_TRUE(essential(with_bomb));
  EXPECT_EQ(*essential(with_bomb), *essential(good));
  EXPECT_TRUE(decode_png(with_bomb).ok());
  std::string many = p.signature + p.ihdr;
  for (int i = 0; i < 1000; ++i) many += chunk("tEXt", "k\0v");
  EXPECT_TRUE(essential(many + p.middle + p.iend));
}

TEST(PngChunks, RefusesDamagedContainersInBothBuildsAlike) {
  const std::string good = read_data("ct0_d8.png");  // 19 x 13, grey, 8 bits
  PngParts p = split(good);
  std::string rows;
  for (int y = 0; y < 13; ++y) rows += std::string(1, '\0') + std::string(19, static_cast<char>(y * 9));
  const std::string idat = chunk("IDAT", zlib_of(rows));
  ASSERT_TRUE(essential(p.signature + p.ihdr + idat + p.iend));
  const struct {
    const char* name;
    std::string png;
  } cases[] = {
      {"no IEND", good.substr(0, good.size() - 12)},
      {"bad CRC", read_data("bad_crc.png")},
      {"no Adler-32 trailer", p.signature + p.ihdr + chunk("IDAT", zlib_of(rows, false)) + p.iend},
      {"a row short", p.signature + p.ihdr + chunk("IDAT", zlib_of(rows.substr(20))) + p.iend},
      {"a row too many", p.signature + p.ihdr + chunk("IDAT", zlib_of(rows + rows.substr(0, 20))) + p.iend},
      {"bytes after the stream", p.signature + p.ihdr + chunk("IDAT", zlib_of(rows) + "x") + p.iend},
      {"split IDAT run", p.signature + p.ihdr + idat + chunk("tEXt", "k\0v") + idat + p.iend},
      {"unknown critical chunk", p.signature + p.ihdr + chunk("ABCD", "") + idat + p.iend},
      {"no IDAT", p.signature + p.ihdr + p.iend},
      {"palette in a grey image", p.signature + p.ihdr + chunk("PLTE", "abc") + idat + p.iend},
      {"IHDR not first", p.signature + idat + p.ihdr + p.iend},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(essential(c.png)) << c.name;
    EXPECT_FALSE(check_png_decodes(c.png)) << c.name;
  }
}

// A palette image whose pixels name entries past its palette decodes to
// black in one build and to stray memory in the other: both refuse it.
TEST(PngChunks, EveryPaletteIndexNamesAnEntry) {
  auto be32 = [](uint32_t v) {
    return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                       static_cast<char>(v)};
  };
  auto png = [&](uint32_t w, uint32_t h, int depth, int interlace, int entries, const std::string& rows) {
    const std::string ihdr = be32(w) + be32(h) + std::string{static_cast<char>(depth), 3, 0, 0, static_cast<char>(interlace)};
    return std::string("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", ihdr) + chunk("PLTE", std::string(3 * entries, 'p')) +
           chunk("IDAT", zlib_of(rows)) + chunk("IEND", "");
  };
  auto row = [](int filter, std::initializer_list<int> bytes) {
    std::string r(1, static_cast<char>(filter));
    for (int b : bytes) r += static_cast<char>(b);
    return r;
  };
  const struct {
    const char* name;
    std::string png;
    bool valid;
  } cases[] = {
      {"indices 0-3 of 4", png(4, 2, 8, 0, 4, row(0, {0, 1, 2, 3}) + row(2, {0, 0, 0, 0})), true},
      {"index 4 of 4, plain", png(4, 2, 8, 0, 4, row(0, {0, 1, 2, 3}) + row(0, {0, 4, 0, 0})), false},
      // Only undoing the row filter shows the index: 0 + 4 above it.
      {"index 4 of 4 after Up", png(4, 2, 8, 0, 4, row(0, {0, 1, 2, 3}) + row(2, {4, 0, 0, 0})), false},
      {"index 255 after Sub", png(4, 1, 8, 0, 4, row(1, {1, 254, 0, 0})), false},
      {"Paeth within range", png(4, 2, 8, 0, 4, row(0, {0, 1, 2, 3}) + row(4, {1, 0, 0, 0})), true},
      {"unknown filter", png(4, 1, 8, 0, 4, row(5, {0, 0, 0, 0})), false},
      // Two bits a pixel: 0b00011011 is indices 0, 1, 2, 3.
      {"2-bit, 3 entries, index 3", png(4, 1, 2, 0, 3, row(0, {0x1B})), false},
      {"2-bit, 4 entries", png(4, 1, 2, 0, 4, row(0, {0x1B})), true},
      // One bit a pixel, one entry: any set bit is past the palette, padding bits aside.
      {"1-bit, padding ignored", png(3, 1, 1, 0, 1, row(0, {0x1F})), true},
      {"1-bit, set pixel", png(3, 1, 1, 0, 1, row(0, {0x20})), false},
      // Adam7, 2 x 2: passes 1, 6 and 7 hold a pixel each row.
      {"interlaced, valid", png(2, 2, 8, 1, 2, row(0, {1}) + row(0, {0}) + row(0, {1, 0})), true},
      {"interlaced, last pass past", png(2, 2, 8, 1, 2, row(0, {1}) + row(0, {0}) + row(0, {1, 2})), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(essential(c.png).has_value(), c.valid) << c.name;
    EXPECT_EQ(check_png_decodes(c.png).has_value(), c.valid) << c.name;
  }
}

TEST(DecodePng, TheDecodedSizeLimitRefusesFromTheHeader) {
  // A valid 16-bit grey image whose decoded form (8 bytes a pixel before
  // reduction) is just over the limit: refused from its header, before any
  // inflating or decoding.
  const uint32_t w = 8192, h = 8193;
  ASSERT_GT(uint64_t{w} * h * 8, kMaxDecodedBytes);
  std::string ihdr = std::string{char(w >> 24), char(w >> 16), char(w >> 8), char(w)} +
                     std::string{char(h >> 24), char(h >> 16), char(h >> 8), char(h)} + std::string("\x10\0\0\0\0", 5);
  z_stream z{};
  ASSERT_EQ(deflateInit(&z, Z_BEST_SPEED), Z_OK);
  std::string idat;
  const std::string row(1 + 2 * w, '\0');
  char out[1 << 16];
  for (uint32_t y = 0; y <= h; ++y) {
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(row.data()));
    z.avail_in = y < h ? static_cast<uInt>(row.size()) : 0;
    do {
      z.next_out = reinterpret_cast<Bytef*>(out);
      z.avail_out = sizeof out;
      deflate(&z, y < h ? Z_NO_FLUSH : Z_FINISH);
      idat.append(out, sizeof out - z.avail_out);
    } while (z.avail_out == 0);
  }
  deflateEnd(&z);
  const std::string big = std::string("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", ihdr) + chunk("IDAT", idat) + chunk("IEND", "");
  EXPECT_FALSE(check_png_decodes(big));
  EXPECT_FALSE(decode_png(big).ok());
}

}  // namespace
}  // namespace tph
