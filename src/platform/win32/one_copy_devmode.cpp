#include "platform/win32/one_copy_devmode.h"

#include "platform/win32/last_error.h"
#include "platform/win32/win_handles.h"

namespace tph::win {

OsStatus OneCopyDevmode::read(HANDLE printer, const std::u16string& name) {
  auto* device = const_cast<wchar_t*>(wide(name));
  const LONG size = DocumentPropertiesW(nullptr, printer, device, nullptr, nullptr, 0);
  if (size <= 0) return last_error_status();
  words_.assign((static_cast<size_t>(size) + 7) / 8, 0);
  if (DocumentPropertiesW(nullptr, printer, device, get(), nullptr, DM_OUT_BUFFER) != IDOK) {
    return last_error_status();
  }
  get()->dmCopies = 1;
  get()->dmFields |= DM_COPIES;
  return OsStatus::Ok();
}

}  // namespace tph::win
