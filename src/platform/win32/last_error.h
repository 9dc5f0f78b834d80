#pragma once
// The calling thread's last Win32 error as a port status, read right after
// the call that failed, before anything else can change it.

#include <windows.h>

#include "platform/os_status.h"
#include "platform/system_error.h"

namespace tph::win {

inline OsError last_error_status() {
  const DWORD e = GetLastError();
  return OsStatus::Fail(e, describe_system_error(e),
                        e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND ? OsErrorKind::kNotFound
                                                                               : OsErrorKind::kOther);
}

}  // namespace tph::win
