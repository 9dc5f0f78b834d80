#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "support/host_error.h"
#include "platform/clock.h"
#include "platform/spooler.h"
#include "fleet/fleet_ledger.h"
#include "state/state_store.h"
#include "support/protocol_limits.h"

namespace tph {

// A stored os_job_id as a spooler job id: optional "+", one or more digits,
// at most 4294967295.
std::optional<uint32_t> parse_spooler_job_id(std::string_view text);


// Finds the attempt, observes its spooler job while it is in flight, saves a
// change of state, and returns the record.
// With a fleet, an attempt this station never made is read from the shared
// ledger, with the station that made it.
Result<JobRecord> get_job(const std::string& intent_id, StateStore& store, Spooler& spooler, Clock& clock,
                          FleetLedger* fleet = nullptr);

inline constexpr size_t kMaxFoundJobs = protocol_limits::kFindJobsMaxLimit;

// The find_jobs reply: the records whose intent id starts with `prefix`, in
// the ledger and in the archive, newest first, at most `limit` of them, and
// whether more matched. Records are as stored: get_job asks the print system.
struct FoundJobs {
  std::vector<JobRecord> jobs;
  bool truncated = false;
};
// With a fleet, the shared ledger's records join this station's (its own
// records as it holds them).
Result<FoundJobs> find_jobs(std::string_view prefix, size_t limit, StateStore& store, FleetLedger* fleet = nullptr);

}  // namespace tph
