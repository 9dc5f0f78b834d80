#pragma once
// Writing a whole buffer to a file or pipe handle.

#include <windows.h>

#include "platform/win32/last_error.h"
#include "platform/write_all.h"

namespace tph::win {

inline OsStatus write_all_handle(HANDLE h, const uint8_t* data, size_t size) {
  return write_all_pieces(data, size, 0x40000000, [h](const uint8_t* p, size_t n, size_t& written) -> OsStatus {
    for (;;) {
      DWORD w = 0;
      if (WriteFile(h, p, static_cast<DWORD>(n), &w, nullptr)) {
        written = w;
        return OsStatus::Ok();
      }
      if (GetLastError() != ERROR_OPERATION_ABORTED) return last_error_status();  // interrupted: repeat
    }
  });
}

}  // namespace tph::win
