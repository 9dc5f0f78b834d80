#pragma once
// The ledger: the print host's memory of print attempts, one JobRecord per
// intent_id. std::map orders keys by their bytes (char_traits<char> compares
// as unsigned char), which is the order records are stored and written in.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace tph {

namespace job_state {
inline constexpr std::string_view kDispatching = "DISPATCHING";
inline constexpr std::string_view kSubmitted = "SUBMITTED";
inline constexpr std::string_view kObserved = "OBSERVED";
inline constexpr std::string_view kCompleted = "COMPLETED";
inline constexpr std::string_view kFailed = "FAILED";
inline constexpr std::string_view kUnknown = "UNKNOWN";
}  // namespace job_state

struct JobRecord {
  std::string intent_id;
  std::string payload_sha256;
  std::string state;  // any text; only the handlers interpret it
  std::string printer;
  std::string os_job_id;
  uint64_t created_at_ms = 0;
  uint64_t updated_at_ms = 0;
  std::string error_code;
  std::string error_message;

  friend bool operator==(const JobRecord&, const JobRecord&) = default;
};

inline constexpr uint32_t kLedgerSchema = 1;

struct HostLedger {
  uint32_t schema = kLedgerSchema;
  uint64_t updated_at_ms = 0;
  std::map<std::string, JobRecord> jobs;

  friend bool operator==(const HostLedger&, const HostLedger&) = default;
};

}  // namespace tph
