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
  for (const auto& c : cases) EXPECT_EQ(parse_strict_json(c.text).ok, c.ok) << c.text;
}

TEST(StrictJson, ReportsDuplicateMembersWithTheirObject) {
  StrictJson j = parse_strict_json(R"({"a":1,"p":{"x":1,"x":2},"l":[0,{"y":1,"y":1}],"a":2})");
  ASSERT_TRUE(j.ok);
  EXPECT_TRUE(j.has_duplicate("", "a"));
  EXPECT_TRUE(j.has_duplicate("/p", "x"));
  EXPECT_TRUE(j.has_duplicate("/l/1", "y"));
  EXPECT_FALSE(j.has_duplicate("", "p"));
  EXPECT_EQ(j.value["a"], 2);  // the later one is the value
}

TEST(StrictJson, UnsignedIntegersOnly) {
  auto n = [](const char* text, uint64_t max) { return json_unsigned(parse_strict_json(text).value, max); };
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
