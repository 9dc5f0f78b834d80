#include "platform/platform_info.h"

namespace tph {

const PlatformInfo& platform_info() {
  static const PlatformInfo info{"windows", "x86_64", "", ""};  // the print system names itself
  return info;
}

}  // namespace tph
