#pragma once
// The outcome of one operating-system call as the core sees it: success, or a
// failure of a kind the core acts on, carrying the system's error code and
// its description (already formatted).

#include <cstdint>
#include <string>
#include <utility>

#include "support/host_error.h"

namespace tph {

// The kinds of failure the core tells apart; everything else is kOther.
enum class OsErrorKind {
  kOther,
  kNotFound,        // the file, its folder, or the queue does not exist
  kNotRegularFile,  // something else is at the path (a folder, a pipe, a link)
  kTooLarge,        // more than the caller's limit
  kInvalidName,     // the system returned a name that cannot be a queue's
  kTimedOut,        // the other side did not answer in time
};

struct [[nodiscard]] OsStatus {
  bool ok = true;
  OsErrorKind kind = OsErrorKind::kOther;  // of a failure
  uint32_t code = 0;
  std::string description;

  static OsStatus Ok() { return {}; }
  static OsStatus Fail(uint32_t code, std::string description, OsErrorKind kind = OsErrorKind::kOther) {
    return OsStatus{false, kind, code, std::move(description)};
  }
  // A failure of this kind.
  bool failed_as(OsErrorKind k) const { return !ok && kind == k; }
};

// A port's value, or the failed status that says why not.
template <typename T>
using OsResult = Result<T, OsStatus>;

}  // namespace tph
