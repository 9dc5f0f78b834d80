#include "submit/label_payload.h"

#include <gtest/gtest.h>

#include "fakes/test_data.h"
#include "platform/sha256.h"
#include "submit/base64.h"
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
    Result<std::string> r = decode_label_payload(c.request);
    ASSERT_FALSE(r.ok()) << c.name;
    EXPECT_STREQ(r.error().code, c.code) << c.name;
    EXPECT_EQ(r.error().message, c.message) << c.name;
  }
  Result<std::string> ok = decode_label_payload(request_for(good + "trailing bytes", 19, 13));
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(ok.value(), good + "trailing bytes");
}

TEST(DecodeLabelPayload, SizeLimitsAreInclusive) {
  std::string text(kMaxBase64Chars, 'A');
  SubmitRequest r;
  r.payload.base64 = text;  // length not a multiple of 4: gets past the size check to base64
  EXPECT_EQ(decode_label_payload(r).error().message, "The raster payload is not valid base64.");
  EXPECT_EQ(decode_label_payload(request_for(std::string(kMaxPngBytes, 'x'), 19, 13)).error().message,
            "The raster payload is not a PNG.");
}

TEST(DecodePng, EveryColourTypeAndDepthGivesTheExpectedDeviceRaster) {
  const char* names[] = {"ct0_d1", "ct0_d2", "ct0_d4", "ct0_d8", "ct0_d16", "ct2_d8", "ct2_d16", "ct3_d1",
                         "ct3_d2", "ct3_d4", "ct3_d8", "ct4_d8", "ct4_d16", "ct6_d8", "ct6_d16", "ct2_d8_trns"};
  for (std::string name : names) {
    for (std::string suffix : {"", "_i"}) {
      if (name == "ct2_d8_trns" && !suffix.empty()) continue;
      std::optional<RgbaImage> image = decode_png(read_data(name + suffix + ".png"));
      ASSERT_TRUE(image) << name << suffix;
      EXPECT_EQ(image->width, 19u);
      EXPECT_EQ(image->height, 13u);
      DeviceRaster raster = to_device_raster(std::move(*image));
      const std::string expected = read_data(name + suffix + ".bgrx");
      EXPECT_TRUE(raster.pixels == std::vector<uint8_t>(expected.begin(), expected.end())) << name << suffix;
    }
  }
}

TEST(DecodePng, RefusesDamagedFilesAndOversizedImagesBeforeDecoding) {
  EXPECT_FALSE(decode_png(read_data("bad_crc.png")));
  EXPECT_FALSE(decode_png(read_data("short_idat.png")));
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

TEST(DeviceRaster, DropsAlphaWithoutBlending) {
  RgbaImage image{2, 1, {0, 0, 0, 0, 255, 0, 0, 128}};  // transparent black, half-transparent red
  EXPECT_EQ(to_device_raster(std::move(image)).pixels, (std::vector<uint8_t>{0, 0, 0, 255, 0, 0, 255, 255}));
}

TEST(Sha256, KnownVector) {
  Sha256 sha;
  sha.update("ab", 2);
  sha.update("c", 1);
  std::array<uint8_t, 32> d = sha.finish();
  EXPECT_EQ(d[0], 0xba);
  EXPECT_EQ(d[1], 0x78);
  EXPECT_EQ(d[31], 0xad);
}

TEST(Fingerprint, LayoutAndWhatItCovers) {
  Sha256 sha;
  const std::string joined = std::string("PNGQueuemedia") + std::string("\x2c\x01\x00\x00\x02\x00", 6);
  sha.update(joined.data(), joined.size());
  std::string expected;
  for (uint8_t b : sha.finish()) {
    static const char* hex = "0123456789abcdef";
    expected += hex[b >> 4];
    expected += hex[b & 15];
  }
  EXPECT_EQ(compute_output_fingerprint("PNG", "Queue", std::string("media"), 300, 2), expected);
  EXPECT_EQ(compute_output_fingerprint("PNG", "Queuemed", std::string("ia"), 300, 2), expected);
  EXPECT_NE(compute_output_fingerprint("PNG", "Queue", std::string("media"), 300, 1), expected);
  EXPECT_NE(compute_output_fingerprint("PNG", "Queuemedia", std::nullopt, 300, 2), compute_output_fingerprint("PNG", "Queuemedia", std::nullopt, 301, 2));
}

TEST(PngChunks, RequiresIntactChunksUpToIend) {
  const std::string good = read_data("ct6_d8.png");
  auto ok = [](const std::string& s) { return png_chunks_intact(reinterpret_cast<const uint8_t*>(s.data()), s.size()); };
  EXPECT_TRUE(ok(good));
  EXPECT_TRUE(ok(good + "after the end"));
  EXPECT_FALSE(ok(good.substr(0, good.size() - 12)));  // no IEND
  EXPECT_FALSE(ok(read_data("bad_crc.png")));
}

}  // namespace
}  // namespace tph
