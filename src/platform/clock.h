#pragma once
#include <cstdint>

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

}  // namespace tph
