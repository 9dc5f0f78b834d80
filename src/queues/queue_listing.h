#pragma once
#include <string_view>

#include "platform/platform_info.h"
#include "platform/spooler.h"
#include "support/host_error.h"
#include "support/strict_json.h"

namespace tph {

// True for the states in which the queue accepts work.
inline bool queue_enabled(std::string_view state) { return state == "idle" || state == "printing"; }

// The list_printers reply: every queue sorted by name in byte order, with its
// state, and the default queue.
Result<Json> list_printers(Spooler& spooler, const PlatformInfo& info);

}  // namespace tph
