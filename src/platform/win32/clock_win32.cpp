#include <windows.h>

#include "platform/clock.h"
#include "support/now_ms.h"

namespace tph {
namespace {

class Win32Clock final : public Clock {
 public:
  uint64_t now_ms() override {
    FILETIME ft{};
    GetSystemTimePreciseAsFileTime(&ft);
    return now_ms_from_file_time(static_cast<uint64_t>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime);
  }
};

}  // namespace

Clock& system_clock() {
  static Win32Clock clock;
  return clock;
}

}  // namespace tph
