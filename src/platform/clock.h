#pragma once
#include <cstdint>

#include "support/now_ms.h"

namespace tph {

class Clock {
 public:
  virtual ~Clock() = default;
  // The system time as a file time: 100-nanosecond units since 1601-01-01 UTC,
  // 0 for a clock set before then.
  virtual uint64_t file_time() = 0;
};

// The precise wall clock of the system.
Clock& system_clock();

// Current time in milliseconds since the Unix epoch, read from the clock port.
inline uint64_t now_ms(Clock& clock) { return now_ms_from_file_time(clock.file_time()); }

}  // namespace tph
