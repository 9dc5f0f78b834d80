#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tph {

// The system error description: the system's message text for an error code
// with trailing white space removed, then " (os error N)". When the system has
// no text, "OS Error N (FormatMessageW() returned error M)". Pure; the text is
// fetched by the platform layer (platform/system_error.h).
std::string format_system_error_description(uint32_t code, std::optional<std::string_view> system_text,
                                            uint32_t formatter_error);

}  // namespace tph
