#pragma once
#include <cstddef>
#include <string_view>

namespace tph {

inline constexpr size_t kRequestIdMaxBytes = 128;
inline constexpr size_t kIntentIdMaxBytes = 160;

// The identifier rule: 1 to max_bytes bytes, each an ASCII letter or digit or
// one of "-", ".", ":", "_".
bool is_valid_identifier(std::string_view value, size_t max_bytes);

}  // namespace tph
