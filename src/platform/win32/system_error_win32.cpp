#include <windows.h>

#include "platform/system_error.h"
#include "support/system_error.h"
#include "support/text_conversion.h"

namespace tph {

std::string describe_system_error(uint32_t code) {
  wchar_t* text = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  if (n == 0) {
    DWORD formatter_error = GetLastError();
    if (text) LocalFree(text);
    return format_system_error_description(code, std::nullopt, formatter_error);
  }
  std::string utf8 = wide_to_utf8(reinterpret_cast<const char16_t*>(text), n);
  LocalFree(text);
  return format_system_error_description(code, utf8, 0);
}

}  // namespace tph
