#pragma once
#include <string_view>

#include "platform/platform_info.h"
#include "platform/spooler.h"
#include "queues/printer_voice.h"
#include "support/host_error.h"
#include <string>
#include <vector>

namespace tph {

// True for the states in which the queue accepts work.
inline bool queue_enabled(std::string_view state) { return state == "idle" || state == "printing"; }

// The list_printers reply: every queue sorted by name in byte order, with its
// state, and the default queue.
struct PrinterList {
  std::vector<QueueEntry> queues;  // sorted
  std::string default_printer;     // "" when there is none
};
// Queues whose printer answers for itself (see PrinterVoice) carry its word.
Result<PrinterList> list_printers(Spooler& spooler, const PlatformInfo& info, PrinterVoice* voice = nullptr);

}  // namespace tph
