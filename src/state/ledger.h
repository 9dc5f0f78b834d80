#pragma once
// The ledger: the print host's memory of print attempts, one JobRecord per
// intent_id. std::map orders keys by their bytes (char_traits<char> compares
// as unsigned char), which is the order records are stored and written in.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "support/protocol_limits.h"

namespace tph {

// What became of an attempt; its names and moves are in attempt_state.h.
enum class JobState : uint8_t { kDispatching, kSubmitted, kObserved, kCompleted, kFailed, kUnknown };

struct JobRecord {
  std::string intent_id;
  std::string payload_sha256;
  JobState state = JobState::kDispatching;
  std::string printer;
  std::string os_job_id;
  uint64_t created_at_ms = 0;
  uint64_t updated_at_ms = 0;
  std::string error_code;
  std::string error_message;
  // With a fleet: the station that made the attempt, the shared ledger's
  // revision of this station's last write of the record (0: never written
  // there) and the state that write carried. All empty without a fleet, and
  // then not written to ledger.json either.
  std::string station;
  uint64_t fleet_revision = 0;
  std::string fleet_state;
  // The nonce of this station's attempt of the intent in the shared ledger.
  std::string fleet_nonce;

  friend bool operator==(const JobRecord&, const JobRecord&) = default;
};

// The most each text of a record may hold, in bytes, as this host ever
// writes them: identifiers and printer names as the request checks allow,
// a fingerprint's 64 digits, the short state and code vocabularies, and an
// error message cut to its bound when it is written. A stored record with a
// longer text was not written by this host: the ledger is corrupt.
namespace record_limits {
inline constexpr size_t kIntentId = 160;
inline constexpr size_t kFingerprint = 64;
inline constexpr size_t kState = 32;
inline constexpr size_t kPrinter = 256;
inline constexpr size_t kOsJobId = 32;
inline constexpr size_t kErrorCode = 64;
inline constexpr size_t kErrorMessage = 1024;
inline constexpr size_t kStation = 128;
// One record as written, every text escaped at its worst (a control
// character takes six bytes), with its numbers and layout.
// The protocol may never accept more than a stored record can hold, or a
// record written today would make the ledger unreadable tomorrow.
static_assert(kIntentId >= protocol_limits::kIntentIdMaxBytes);
static_assert(kPrinter >= protocol_limits::kPrinterMaxBytes);
inline constexpr size_t kWrittenBytes =
    2 * kIntentId + kFingerprint + kState + 2 * kPrinter + kOsJobId + kErrorCode + 6 * kErrorMessage +
                                        6 * kStation + 2 * kState + 700;
}  // namespace record_limits

// The longest prefix of `text` of at most `max_bytes` bytes that ends on a
// whole UTF-8 character.
std::string cut_text(std::string_view text, size_t max_bytes);

inline constexpr uint32_t kLedgerSchema = 1;

struct HostLedger {
  uint32_t schema = kLedgerSchema;
  uint64_t updated_at_ms = 0;
  std::map<std::string, JobRecord> jobs;
  // With a fleet: this ledger's own secret, from which its claim tokens are
  // made (empty until the first claim; not written while empty).
  std::string fleet_key;

  friend bool operator==(const HostLedger&, const HostLedger&) = default;
};

}  // namespace tph
