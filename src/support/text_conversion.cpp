#include "support/text_conversion.h"

#include <cstdint>

namespace tph {
namespace {

void append_utf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

bool is_high(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool is_low(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

}  // namespace

std::string wide_to_utf8(const char16_t* units, size_t count) {
  std::string out;
  out.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    char16_t u = units[i];
    if (is_high(u) && i + 1 < count && is_low(units[i + 1])) {
      uint32_t cp = 0x10000 + ((static_cast<uint32_t>(u) - 0xD800) << 10) + (units[i + 1] - 0xDC00);
      append_utf8(out, cp);
      ++i;
    } else if (is_high(u) || is_low(u)) {
      append_utf8(out, 0xFFFD);
    } else {
      append_utf8(out, u);
    }
  }
  return out;
}

std::u16string utf8_to_wide(std::string_view s) {
  std::u16string out;
  out.reserve(s.size() + 1);
  size_t i = 0;
  while (i < s.size()) {
    auto b0 = static_cast<uint8_t>(s[i]);
    uint32_t cp = 0xFFFD;
    size_t len = 1;
    auto cont = [&](size_t k) { return i + k < s.size() && (static_cast<uint8_t>(s[i + k]) & 0xC0) == 0x80; };
    auto at = [&](size_t k) { return static_cast<uint32_t>(static_cast<uint8_t>(s[i + k]) & 0x3F); };
    if (b0 < 0x80) {
      cp = b0;
    } else if (b0 >= 0xC2 && b0 < 0xE0 && cont(1)) {
      cp = ((b0 & 0x1F) << 6) | at(1);
      len = 2;
    } else if (b0 >= 0xE0 && b0 < 0xF0 && cont(1) && cont(2)) {
      uint32_t v = ((b0 & 0x0F) << 12) | (at(1) << 6) | at(2);
      if (v >= 0x800 && !(v >= 0xD800 && v <= 0xDFFF)) {
        cp = v;
        len = 3;
      }
    } else if (b0 >= 0xF0 && b0 < 0xF5 && cont(1) && cont(2) && cont(3)) {
      uint32_t v = ((b0 & 0x07) << 18) | (at(1) << 12) | (at(2) << 6) | at(3);
      if (v >= 0x10000 && v <= 0x10FFFF) {
        cp = v;
        len = 4;
      }
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
    i += len;
  }
  out += u'\0';
  return out;
}

std::string repaired_utf8(std::string_view text) {
  std::u16string wide = utf8_to_wide(text);
  wide.pop_back();  // the terminating NUL
  return wide_to_utf8(wide);
}

}  // namespace tph
