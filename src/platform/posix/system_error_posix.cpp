#include <cstring>

#include "platform/system_error.h"
#include "support/system_error.h"

namespace tph {
namespace {

// strerror_r comes in two shapes: GNU's returns the text (which may or may
// not live in the buffer), XSI's (macOS, musl, the BSDs) fills the buffer and
// returns 0. Overloads pick the one this C library declares.
[[maybe_unused]] const char* text_of(const char* gnu_result, const char*) { return gnu_result; }
[[maybe_unused]] const char* text_of(int xsi_result, const char* buffer) {
  return xsi_result == 0 ? buffer : "Unknown error";
}

}  // namespace

std::string describe_system_error(uint32_t code) {
  char buffer[256] = {};
  const char* text = text_of(strerror_r(static_cast<int>(code), buffer, sizeof buffer), buffer);
  return format_system_error_description(code, std::string_view(text), 0);
}

}  // namespace tph
