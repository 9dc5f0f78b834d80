#pragma once
#include <cstdint>
#include <optional>
#include <string_view>

namespace tph {

inline constexpr uint32_t kTroubleMask = 0x00FC18FF;
inline constexpr uint32_t kBusyMask = 0x0001E700;
inline constexpr uint32_t kPrinterStatusPaused = 0x1;
inline constexpr uint32_t kPrinterStatusOffline = 0x80;

// The coarse state of a queue from its status word; "unavailable" when the
// status could not be read.
std::string_view queue_state(std::optional<uint32_t> status);

// True for the states in which the queue accepts work.
inline bool queue_enabled(std::string_view state) { return state == "idle" || state == "printing"; }

}  // namespace tph
