#include <cstring>

#include "platform/system_error.h"
#include "support/system_error.h"

namespace tph {

std::string describe_system_error(uint32_t code) {
  char buffer[256];
  // GNU strerror_r returns the text, which may or may not live in `buffer`.
  const char* text = strerror_r(static_cast<int>(code), buffer, sizeof buffer);
  return format_system_error_description(code, std::string_view(text), 0);
}

}  // namespace tph
