#pragma once
// The outcome of one operating-system call as the core sees it: success, or a
// failure of a kind the core acts on, carrying the system's error code and
// its description (already formatted).

#include <cstdint>
#include <optional>
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
  kRefused,         // the other side could not be reached: nothing was sent
};

// A failure of one operating-system call: of a kind the core acts on, with
// the system's error code and its description (already formatted).
struct OsError {
  OsErrorKind kind = OsErrorKind::kOther;
  uint32_t code = 0;
  std::string description;

  bool failed_as(OsErrorKind k) const { return kind == k; }
};

// Success, or the OsError that says why not; never an error that reads as
// success.
class [[nodiscard]] OsStatus {
 public:
  OsStatus() = default;
  OsStatus(OsError error) : error_(std::move(error)) {}  // NOLINT: implicit by design
  static OsStatus Ok() { return {}; }
  static OsError Fail(uint32_t code, std::string description, OsErrorKind kind = OsErrorKind::kOther) {
    return OsError{kind, code, std::move(description)};
  }
  bool ok() const { return !error_; }
  const OsError& error() const { return *error_; }
  // A failure of this kind.
  bool failed_as(OsErrorKind k) const { return error_ && error_->kind == k; }

 private:
  std::optional<OsError> error_;
};

// A port's value, or the failed status that says why not.
template <typename T>
using OsResult = Result<T, OsError>;

}  // namespace tph
