#include "submit/submit_request.h"

#include <gtest/gtest.h>

namespace tph {
namespace {

TEST(SubmitValidation, EarliestFailingCheckWins) {
  auto valid = [] {
    SubmitRequest r;
    r.intent_id = "intent-1";
    r.printer = "Label_PDF";
    r.title = "Label";
    r.dpi = 300;
    r.payload = {"png", "", 16, 10000};
    return r;
  };
  using Mutate = std::function<void(SubmitRequest&)>;
  const std::string copies = "Copies must be between 1 and 10.";
  const std::string dims = "Raster dimensions are outside the supported range.";
  struct Case {
    Mutate mutate;
    std::string message;  // empty: passes
  } cases[] = {
      {[](auto&) {}, ""},
      {[](auto& r) { r.intent_id = std::string(160, 'a'); }, ""},
      {[](auto& r) { r.intent_id = "aZ9-.:_"; }, ""},
      {[](auto& r) { r.intent_id = std::string(161, 'a'); }, "intent_id contains unsupported characters."},
      {[](auto& r) { r.intent_id = ""; }, "intent_id contains unsupported characters."},
      {[](auto& r) { r.intent_id = "a b"; }, "intent_id contains unsupported characters."},
      {[](auto& r) { r.printer = std::string(256, 'p'); }, ""},
      {[](auto& r) { r.printer = std::string(257, 'p'); }, "printer is empty, too long, or contains control characters."},
      {[](auto& r) { r.printer = ""; }, "printer is empty, too long, or contains control characters."},
      {[](auto& r) {
         r.title.clear();
         for (int i = 0; i < 100; ++i) r.title += "\xc3\xa9";
       }, ""},
      {[](auto& r) {
         r.title.clear();
         for (int i = 0; i < 101; ++i) r.title += "\xc3\xa9";
       }, "title is empty, too long, or contains control characters."},
      {[](auto& r) { r.title = "a\tb"; }, "title is empty, too long, or contains control characters."},
      {[](auto& r) { r.title = "a\x7f"; }, "title is empty, too long, or contains control characters."},
      {[](auto& r) { r.title = "a\xc2\x85"; }, "title is empty, too long, or contains control characters."},
      {[](auto& r) { r.title = "a\xc2\xa0 \xf0\x9f\x93\xa6"; }, ""},
      {[](auto& r) { r.copies = 0; }, copies},
      {[](auto& r) { r.copies = 11; }, copies},
      {[](auto& r) { r.copies = 10; }, ""},
      {[](auto& r) { r.copies = 0; r.dpi = 5; }, copies},
      {[](auto& r) { r.dpi = 72; }, ""},
      {[](auto& r) { r.dpi = 1200; }, ""},
      {[](auto& r) { r.dpi = 71; }, "DPI must be between 72 and 1200."},
      {[](auto& r) { r.dpi = 1201; }, "DPI must be between 72 and 1200."},
      {[](auto& r) { r.payload.format = "PNG"; }, "Protocol 1 accepts PNG labels only."},
      {[](auto& r) { r.payload.format = "png "; }, "Protocol 1 accepts PNG labels only."},
      {[](auto& r) { r.payload.width_px = 15; }, dims},
      {[](auto& r) { r.payload.width_px = 10001; }, dims},
      {[](auto& r) { r.payload.height_px = 10001; }, dims},
      {[](auto& r) { r.payload.format = "jpg"; r.payload.width_px = 1; }, "Protocol 1 accepts PNG labels only."},
      {[](auto& r) { r.media = ""; }, "media contains unsupported characters."},
      {[](auto& r) { r.media = "a:b"; }, "media contains unsupported characters."},
      {[](auto& r) { r.media = "a b"; }, "media contains unsupported characters."},
      {[](auto& r) { r.media = "na_index-4x6_4x6in.1"; }, ""},
      {[](auto& r) { r.media = std::string(129, 'm'); }, "media contains unsupported characters."},
      {[](auto& r) { r.media = "a:b"; r.payload.width_px = 1; }, dims},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SubmitRequest r = valid();
    cases[i].mutate(r);
    Status s = validate_submit_request(r);
    if (cases[i].message.empty()) {
      EXPECT_TRUE(s.ok()) << "case " << i << ": " << (s.ok() ? "" : s.error().message);
    } else {
      ASSERT_FALSE(s.ok()) << "case " << i;
      EXPECT_STREQ(s.error().code_name(), "BAD_REQUEST");
      EXPECT_EQ(s.error().message, cases[i].message) << "case " << i;
    }
  }
}

}  // namespace
}  // namespace tph
