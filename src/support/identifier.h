#pragma once
#include <cstddef>
#include <string_view>
#include "support/protocol_limits.h"

namespace tph {

static_assert(protocol_limits::kCopiesMax <= UINT16_MAX, "copies travel as 16 bits");
static_assert(protocol_limits::kFindJobsDefaultLimit <= protocol_limits::kFindJobsMaxLimit);
inline constexpr size_t kRequestIdMaxBytes = protocol_limits::kRequestIdMaxBytes;
inline constexpr size_t kIntentIdMaxBytes = protocol_limits::kIntentIdMaxBytes;

// 1 to max_bytes bytes, each an ASCII letter or digit or one of the
// characters of `punctuation`.
bool is_token(std::string_view value, size_t max_bytes, std::string_view punctuation);

// The identifier rule: 1 to max_bytes bytes, each an ASCII letter or digit or
// one of "-", ".", ":", "_".
inline bool is_valid_identifier(std::string_view value, size_t max_bytes) {
  return is_token(value, max_bytes, "-.:_");
}

}  // namespace tph
