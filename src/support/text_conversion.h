#pragma once
// UTF-16 <-> UTF-8 conversion for the names handed to and from the print
// system. Written here rather than taken from a library because the rules are
// exact and small: unpaired surrogates become U+FFFD one way, and the other
// way the result carries one terminating NUL and passes interior NULs through.

#include <cstddef>
#include <string>
#include <string_view>

namespace tph {

// UTF-16 code units (a counted span, not necessarily terminated) to UTF-8;
// each unpaired surrogate becomes U+FFFD. Never fails.
std::string wide_to_utf8(const char16_t* units, size_t count);
inline std::string wide_to_utf8(std::u16string_view s) { return wide_to_utf8(s.data(), s.size()); }

// UTF-8 to UTF-16 followed by one NUL code unit. Input is expected to be valid
// UTF-8 (every JSON string is); an invalid sequence becomes U+FFFD.
std::u16string utf8_to_wide(std::string_view utf8);

// Text from the print system as valid UTF-8: each invalid sequence becomes
// U+FFFD, so it can always be written into a reply.
std::string repaired_utf8(std::string_view text);

}  // namespace tph
