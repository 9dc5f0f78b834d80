// The print systems of the POSIX build. Another (a direct socket path, say)
// is one more row here and a folder of its own.
#include "platform/cups/cups_print_system.h"

namespace tph {

std::span<const PrintSystemEntry> print_system_table() {
  static constexpr PrintSystemEntry kSystems[] = {{"cups", open_cups_print_system}};
  return kSystems;
}

}  // namespace tph
