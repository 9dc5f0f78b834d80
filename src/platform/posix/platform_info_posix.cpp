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
  // CUPS prints; the capability names are those of the Windows build.
  static const PlatformInfo info{
      "linux", kArch, {"list_printers", "submit_png", "get_job", "durable_idempotency", "submit_raw", "describe_printer",
       "submit_document"}, "CUPS", "cups"};
  return info;
}

}  // namespace tph
