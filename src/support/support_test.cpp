#include <gtest/gtest.h>

#include "support/identifier.h"
#include "support/now_ms.h"
#include "support/strict_json.h"
#include "support/system_error.h"
#include "support/text_conversion.h"

namespace tph {
namespace {

TEST(NowMs, ConvertsFileTimeAndClampsBefore1970) {
  EXPECT_EQ(now_ms_from_file_time(0), 0u);
  EXPECT_EQ(now_ms_from_file_time(kUnixEpochAsFileTime - 1), 0u);
  EXPECT_EQ(now_ms_from_file_time(kUnixEpochAsFileTime), 0u);
  EXPECT_EQ(now_ms_from_file_time(kUnixEpochAsFileTime + 19999), 1u);  // remainder dropped
  EXPECT_EQ(now_ms_from_file_time(kUnixEpochAsFileTime + 1'700'000'000'000ULL * 10000), 1'700'000'000'000ULL);
}

TEST(TextConversion, WideToUtf8ReplacesUnpairedSurrogates) {
  struct Case {
    std::u16string in;
    std::string out;
  } cases[] = {
      {u"Label A", "Label A"},
      {u"\u00e9\u20ac", "\xc3\xa9\xe2\x82\xac"},
      {u"\U0001F600", "\xf0\x9f\x98\x80"},
      {std::u16string(1, char16_t(0xD800)) + u"x", "\xef\xbf\xbdx"},
      {u"x" + std::u16string(1, char16_t(0xDC00)), "x\xef\xbf\xbd"},
      {std::u16string(1, char16_t(0xDC00)) + std::u16string(1, char16_t(0xD800)), "\xef\xbf\xbd\xef\xbf\xbd"},
  };
  for (const auto& c : cases) EXPECT_EQ(wide_to_utf8(c.in), c.out);
}

TEST(TextConversion, Utf8ToWideTerminatesAndKeepsInteriorNul) {
  EXPECT_EQ(utf8_to_wide("ab"), std::u16string(u"ab\0", 3));
  EXPECT_EQ(utf8_to_wide(std::string("a\0b", 3)), std::u16string(u"a\0b\0", 4));
  EXPECT_EQ(utf8_to_wide("\xf0\x9f\x98\x80"), std::u16string(u"\U0001F600\0", 3));
  EXPECT_EQ(utf8_to_wide(""), std::u16string(1, u'\0'));
  // Round trip through both conversions.
  std::string s = "Etiquette \xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\xa6";
  std::u16string w = utf8_to_wide(s);
  EXPECT_EQ(wide_to_utf8(w.data(), w.size() - 1), s);
}

TEST(SystemError, FormatsBothForms) {
  EXPECT_EQ(format_system_error_description(5, std::string_view("Access is denied.\r\n"), 0),
            "Access is denied. (os error 5)");
  EXPECT_EQ(format_system_error_description(1801, std::nullopt, 317),
            "OS Error 1801 (FormatMessageW() returned error 317)");
}

TEST(Identifier, AcceptsTheRuleAndBounds) {
  EXPECT_TRUE(is_valid_identifier("aZ09-.:_", 128));
  EXPECT_TRUE(is_valid_identifier(std::string(128, 'a'), 128));
  EXPECT_FALSE(is_valid_identifier(std::string(129, 'a'), 128));
  EXPECT_TRUE(is_valid_identifier(std::string(160, 'a'), 160));
  EXPECT_FALSE(is_valid_identifier(std::string(161, 'a'), 160));
  for (const char* bad : {"", "a b", "a/b", "\xc3\xa9", "a\tb", "a+b"}) EXPECT_FALSE(is_valid_identifier(bad, 128)) << bad;
}

TEST(StrictJson, RefusesWhatTheLibraryWouldAccept) {
  struct Case {
    std::string text;
    bool ok;
  } cases[] = {
      {"{}", true},
      {" \t\r\n{} \n", true},
      {"\xef\xbb\xbf{}", false},  // byte-order mark
      {"{} x", false},
      {"{\"a\":1}{}", false},
      {"{\"a\":\"\\ud800\"}", false},  // unpaired surrogate escape
      {"{\"a\":\"\xff\"}", false},     // invalid UTF-8
      {"{\"a\":1,}", false},
      {"/* c */ {}", false},
      {std::string(127, '[') + std::string(127, ']'), true},
      {std::string(128, '[') + std::string(128, ']'), false},
      {"{\"a\":\"[[[[\"}", true},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_strict_json(c.text, kScalarShape).ok, c.ok) << c.text;
}

TEST(StrictJson, ANulByteIsNeverJson) {
  for (std::string text : {std::string("{}\0", 3), std::string("{}\0garbage", 10), std::string("{\"a\":\"\0\"}", 8),
                           std::string("\0{}", 3)}) {
    EXPECT_FALSE(parse_strict_json(text, kScalarShape).ok);
  }
}

// Members outside the shape are checked, then dropped; members inside are
// built, and a repeated name is reported with its own object only.
TEST(StrictJson, BuildsOnlyTheShapeAndReportsRepeatsPerObject) {
  static const JsonShape inner{{{"x", &kScalarShape}}};
  static const JsonShape shape{{{"a", &kScalarShape}, {"p", &inner}, {"s", &kScalarShape}}, nullptr, {}};
  StrictJson j = parse_strict_json(
      R"({"a":1,"p":{"x":1,"x":2,"y":3,"y":4},"s":{"deep":[1,2]},"skip":{"z":1,"z":1},"a/p":{"x":1,"x":1},"a":2})",
      shape);
  ASSERT_TRUE(j.ok);
  EXPECT_TRUE(j.has_repeated_member(j.value));       // "a"
  EXPECT_TRUE(j.has_repeated_member(j.value["p"]));  // "x"; "y" is not the shape's
  EXPECT_EQ(j.value["a"], 2);                        // the later one is the value
  EXPECT_EQ(j.value["p"].size(), 1u);
  EXPECT_EQ(j.value["s"], Json::object());  // kept empty: only its type is read
  EXPECT_FALSE(j.value.contains("skip"));
  EXPECT_FALSE(j.value.contains("a/p"));

  StrictJson clean = parse_strict_json(R"({"p":{"x":1},"skip":{"x":1,"x":1}})", shape);
  ASSERT_TRUE(clean.ok);
  EXPECT_FALSE(clean.has_repeated_member(clean.value));
  EXPECT_FALSE(clean.has_repeated_member(clean.value["p"]));
  // Skipped values must still be well-formed.
  EXPECT_FALSE(parse_strict_json(R"({"skip":{"x":01}})", shape).ok);
}

TEST(StrictJson, ArraysKeepTheirPositionsAndOneTooMany) {
  static const JsonShape shape{{}, nullptr, {&kScalarShape, &kScalarShape}};
  StrictJson j = parse_strict_json(R"([1,{"a":1},3,4,5])", shape);
  ASSERT_TRUE(j.ok);
  EXPECT_EQ(j.value, Json::parse(R"([1,{},null])"));
  EXPECT_EQ(parse_strict_json("[1,2]", shape).value, Json::parse("[1,2]"));
  static const JsonShape object{{{"a", &kScalarShape}}};
  static const JsonShape list{{}, nullptr, {}, false, &object, 4};
  EXPECT_EQ(parse_strict_json(R"([{"a":1,"b":2},{"a":[3]},{},4,5,6])", list).value,
            Json::parse(R"([{"a":1},{"a":[]},{},4,null])"));
}

TEST(StrictJson, EveryNameUniqueCountsUnknownNamesToo) {
  static const JsonShape shape{{{"a", &kScalarShape}}, nullptr, {}, /*every_name_unique=*/true};
  StrictJson repeated = parse_strict_json(R"({"a":1,"b":1,"b":2})", shape);
  EXPECT_TRUE(repeated.has_repeated_member(repeated.value));
  StrictJson ok = parse_strict_json(R"({"a":1,"b":1,"c":{"d":1,"d":1}})", shape);
  EXPECT_FALSE(ok.has_repeated_member(ok.value));
}

TEST(StrictJson, UnsignedIntegersOnly) {
  auto n = [](const char* text, uint64_t max) { return json_unsigned(parse_strict_json(text, kScalarShape).value, max); };
  EXPECT_EQ(n("1", 10), 1u);
  EXPECT_EQ(n("4294967295", 4294967295u), 4294967295u);
  EXPECT_FALSE(n("4294967296", 4294967295u));
  EXPECT_FALSE(n("-1", 10));
  EXPECT_FALSE(n("1.0", 10));
  EXPECT_FALSE(n("1e0", 10));
  EXPECT_FALSE(n("\"1\"", 10));
  EXPECT_FALSE(n("18446744073709551616", UINT64_MAX));
  EXPECT_EQ(n("18446744073709551615", UINT64_MAX), UINT64_MAX);
}

}  // namespace
}  // namespace tph
