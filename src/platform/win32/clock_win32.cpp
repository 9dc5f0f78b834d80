#include <windows.h>

#include "platform/clock.h"

namespace tph {
namespace {

class Win32Clock final : public Clock {
 public:
  uint64_t file_time() override {
    FILETIME ft{};
    GetSystemTimePreciseAsFileTime(&ft);
    return static_cast<uint64_t>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime;
  }
};

}  // namespace

Clock& system_clock() {
  static Win32Clock clock;
  return clock;
}

}  // namespace tph
