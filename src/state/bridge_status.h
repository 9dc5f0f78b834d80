#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "support/host_error.h"
#include "platform/file_system.h"
#include "support/version.h"

namespace tph {

// The bridge-status.json text for a contact at `now`.
Result<std::string> encode_bridge_status(uint64_t now);

// Rewrites bridge-status.json in the state folder. Best effort: every failure
// is ignored.
void write_bridge_status(FileSystem& fs, const std::string& folder, uint64_t now);

}  // namespace tph
