#pragma once
// Native messaging framing: a 32-bit little-endian length, then that many
// bytes of UTF-8 JSON, in both directions.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "support/host_error.h"
#include "platform/channel.h"
#include "support/protocol_limits.h"

namespace tph {

static_assert(protocol_limits::kMaxRequestBytes <= UINT32_MAX, "a request's length is a 32-bit prefix");
inline constexpr uint32_t kMaxRequestBytes = protocol_limits::kMaxRequestBytes;

// Reads one message: its body, or nothing when the input ended before the
// first prefix byte (a normal end). Everything else that goes wrong is an
// IO_ERROR.
Result<std::optional<std::string>> read_message(Channel& channel);

// Writes the length prefix and the body, then flushes.
Status write_message(Channel& channel, std::string_view body);

}  // namespace tph
