// The print systems of the Windows build. Another (a direct socket path, say)
// is one more row here and a folder of its own.
#include "platform/win32/winspool_print_system.h"

namespace tph {

std::span<const PrintSystemEntry> print_system_table() {
  static constexpr PrintSystemEntry kSystems[] = {{"winspool", open_winspool_print_system}};
  return kSystems;
}

}  // namespace tph
