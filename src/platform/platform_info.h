#pragma once
#include <string>

namespace tph {

// What this build is: what the hello reply says about it, and how its
// messages and queue entries name its print system.
struct PlatformInfo {
  std::string platform;
  std::string arch;
  // Filled in from the print system the host starts with:
  std::string print_system;  // "Windows" or "CUPS", as messages name it
  std::string queue_uri;     // the `uri` of every listed queue: "winspool" or "cups"
};

const PlatformInfo& platform_info();

}  // namespace tph
