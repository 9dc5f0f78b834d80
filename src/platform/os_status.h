#pragma once
// The outcome of one operating-system call as the core sees it: success, or a
// failure carrying the system error description (already formatted) and
// whether the failure was "not found".

#include <cstdint>
#include <string>
#include <utility>

namespace tph {

struct OsStatus {
  bool ok = true;
  bool not_found = false;
  uint32_t code = 0;
  std::string description;

  static OsStatus Ok() { return {}; }
  static OsStatus Fail(uint32_t code, std::string description, bool not_found = false) {
    return OsStatus{false, not_found, code, std::move(description)};
  }
};

}  // namespace tph
