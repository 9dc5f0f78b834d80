#pragma once
#include <cstdint>

namespace tph {

class Clock {
 public:
  virtual ~Clock() = default;
  // The precise wall-clock time in milliseconds since the Unix epoch, by the
  // now_ms rule (support/now_ms.h): truncated, and 0 for a clock set before
  // 1970.
  virtual uint64_t now_ms() = 0;
};

// The precise wall clock of the system.
Clock& system_clock();

// Current time in milliseconds since the Unix epoch, read from the clock port.
inline uint64_t now_ms(Clock& clock) { return clock.now_ms(); }

}  // namespace tph
