#include "platform/platform_info.h"

namespace tph {

const PlatformInfo& platform_info() {
  static const PlatformInfo info{
      "windows", "x86_64", {"list_printers", "submit_png", "get_job", "durable_idempotency", "submit_raw", "describe_printer",
       "submit_document"}, "Windows", "winspool"};
  return info;
}

}  // namespace tph
