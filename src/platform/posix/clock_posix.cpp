#include <ctime>

#include "platform/clock.h"
#include "support/now_ms.h"

namespace tph {
namespace {

class PosixClock final : public Clock {
 public:
  uint64_t file_time() override {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    const int64_t units = static_cast<int64_t>(ts.tv_sec) * 10'000'000 + ts.tv_nsec / 100 +
                          static_cast<int64_t>(kUnixEpochAsFileTime);
    return units < 0 ? 0 : static_cast<uint64_t>(units);
  }
};

}  // namespace

Clock& system_clock() {
  static PosixClock clock;
  return clock;
}

}  // namespace tph
