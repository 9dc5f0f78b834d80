#pragma once
#include "platform/clock.h"

namespace tph::testing {

// A clock that reads what the test set, in milliseconds since 1970.
class FakeClock final : public Clock {
 public:
  explicit FakeClock(uint64_t ms = 1'700'000'000'000ULL) : ms_(ms) {}
  void set_ms(uint64_t ms) { ms_ = ms; }
  void advance_ms(uint64_t ms) { ms_ += ms; }
  uint64_t now_ms() override { return ms_; }

 private:
  uint64_t ms_;
};

}  // namespace tph::testing
