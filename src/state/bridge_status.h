#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "platform/file_system.h"

namespace tph {

inline constexpr const char* kHostVersion = "0.2.0";
inline constexpr uint32_t kProtocolVersion = 1;

// The bridge-status.json text for a contact at `now`.
std::optional<std::string> encode_bridge_status(uint64_t now);

// Rewrites bridge-status.json in the state folder. Best effort: every failure
// is ignored.
void write_bridge_status(FileSystem& fs, const std::string& folder, uint64_t now);

}  // namespace tph
