#pragma once
// The failure value of every operation in the print host: a code from the
// closed catalogue (error_catalogue.h) and a message for people. Nothing else:
// callers that wrap a lower failure copy what they need into their message.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace tph {

// The closed set of error codes. Callers branch on these values; the wire
// and the ledger carry code_name()'s text.
enum class ErrorCode {
  kBadRequest,
  kPayloadTooLarge,
  kProtocolMismatch,
  kUnknownMessage,
  kIntentConflict,
  kAttemptFailed,
  kUnknownOutcome,
  kSubmissionRejected,
  kPrinterUnavailable,
  kMediaUnsupported,
  kMediaMismatch,
  kPrintSystemUnavailable,
  kJobNotFound,
  kStateCorrupt,
  kStateVersion,
  kStateUnavailable,
  kIoError,
  kFleetUnavailable,
  kIntentInProgress,
  // Stored in job records by restart recovery; never the code of a response.
  kHostRestarted,
};

// The upper-case identifier a code is written as, e.g. "BAD_REQUEST".
inline const char* code_name(ErrorCode code) {
  switch (code) {
    case ErrorCode::kBadRequest: return "BAD_REQUEST";
    case ErrorCode::kPayloadTooLarge: return "PAYLOAD_TOO_LARGE";
    case ErrorCode::kProtocolMismatch: return "PROTOCOL_MISMATCH";
    case ErrorCode::kUnknownMessage: return "UNKNOWN_MESSAGE";
    case ErrorCode::kIntentConflict: return "INTENT_CONFLICT";
    case ErrorCode::kAttemptFailed: return "ATTEMPT_FAILED";
    case ErrorCode::kUnknownOutcome: return "UNKNOWN_OUTCOME";
    case ErrorCode::kSubmissionRejected: return "SUBMISSION_REJECTED";
    case ErrorCode::kPrinterUnavailable: return "PRINTER_UNAVAILABLE";
    case ErrorCode::kMediaUnsupported: return "MEDIA_UNSUPPORTED";
    case ErrorCode::kMediaMismatch: return "MEDIA_MISMATCH";
    case ErrorCode::kPrintSystemUnavailable: return "PRINT_SYSTEM_UNAVAILABLE";
    case ErrorCode::kJobNotFound: return "JOB_NOT_FOUND";
    case ErrorCode::kStateCorrupt: return "STATE_CORRUPT";
    case ErrorCode::kStateVersion: return "STATE_VERSION";
    case ErrorCode::kStateUnavailable: return "STATE_UNAVAILABLE";
    case ErrorCode::kIoError: return "IO_ERROR";
    case ErrorCode::kFleetUnavailable: return "FLEET_UNAVAILABLE";
    case ErrorCode::kIntentInProgress: return "INTENT_IN_PROGRESS";
    case ErrorCode::kHostRestarted: return "HOST_RESTARTED";
  }
  return "IO_ERROR";
}

// The attempt an INTENT_CONFLICT refers to: where and when the identifier
// was first used, and how that attempt stands.
struct EarlierAttempt {
  std::string printer;
  uint64_t created_at_ms = 0;
  std::string state;
  std::string station;  // with a fleet: the station that made it
};

struct HostError {
  ErrorCode code;
  std::string message;  // full sentence, or a context message
  std::optional<EarlierAttempt> earlier = std::nullopt;

  const char* code_name() const { return tph::code_name(code); }
  friend bool operator==(const HostError& a, const HostError& b) {
    return a.code == b.code && a.message == b.message;
  }
};

// A value or an error: a HostError in the core, the port's failure at the
// operating-system boundary. Kept deliberately small: nothing throws across
// a module boundary, it returns one of these.
template <typename T, typename E = HostError>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT
  bool ok() const { return v_.index() == 0; }
  T& value() { return std::get<0>(v_); }
  const T& value() const { return std::get<0>(v_); }
  const E& error() const { return std::get<1>(v_); }
  E take_error() { return std::move(std::get<1>(v_)); }

 private:
  std::variant<T, E> v_;
};

// Success with no value, or a HostError.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(HostError error) : error_(std::move(error)) {}  // NOLINT
  static Status Ok() { return Status(); }
  bool ok() const { return !error_; }
  const HostError& error() const { return *error_; }
  HostError take_error() { return std::move(*error_); }

 private:
  std::optional<HostError> error_;
};

}  // namespace tph
