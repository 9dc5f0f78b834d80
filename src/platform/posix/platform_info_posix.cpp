#include "platform/platform_info.h"

namespace tph {

const PlatformInfo& platform_info() {
#if defined(__x86_64__)
  static const char* kArch = "x86_64";
#elif defined(__aarch64__)
  static const char* kArch = "aarch64";
#elif defined(__i386__)
  static const char* kArch = "x86";
#else
  static const char* kArch = "unknown";
#endif
  static const PlatformInfo info{"linux", kArch, "", ""};  // the print system names itself
  return info;
}

}  // namespace tph
