#pragma once
#include <string>
#include <vector>

namespace tph {

// What the hello reply says about this build.
struct PlatformInfo {
  std::string platform;
  std::string arch;
  std::vector<std::string> capabilities;
};

const PlatformInfo& platform_info();

}  // namespace tph
