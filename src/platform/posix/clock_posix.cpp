#include <ctime>

#include "platform/clock.h"

namespace tph {
namespace {

class PosixClock final : public Clock {
 public:
  uint64_t now_ms() override {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    if (ts.tv_sec < 0) return 0;  // before 1970
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1'000'000;
  }
};

}  // namespace

Clock& system_clock() {
  static PosixClock clock;
  return clock;
}

}  // namespace tph
