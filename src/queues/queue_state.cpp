#include "queues/queue_state.h"

namespace tph {

std::string_view queue_state(std::optional<uint32_t> status) {
  if (!status) return "unavailable";
  const uint32_t s = *status;
  if (s & kTroubleMask) {
    if (s & kPrinterStatusPaused) return "paused";
    if (s & kPrinterStatusOffline) return "offline";
    return "error";
  }
  return (s & kBusyMask) ? "printing" : "idle";
}

}  // namespace tph
