#pragma once
// The queue's own default device settings with the copy count forced to one.
// The host prints every copy itself (one page or one write per copy); a
// driver or queue default of more copies must not multiply a label.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/os_status.h"

namespace tph::win {

class OneCopyDevmode {
 public:
  // Reads the defaults of the open printer `printer` named `name` with
  // DocumentPropertiesW (size, then data), and sets dmCopies to 1.
  OsStatus read(HANDLE printer, const std::u16string& name);
  DEVMODEW* get() { return reinterpret_cast<DEVMODEW*>(words_.data()); }

 private:
  std::vector<uint64_t> words_;  // rounded up to 8 bytes, aligned for DEVMODEW
};

}  // namespace tph::win
