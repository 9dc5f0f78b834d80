#pragma once
// An attempt's state and every move between states, in one place. The ledger
// stores the state's name; nothing else in the host reads or writes it.
//
//   DISPATCHING -> SUBMITTED  the print system took the job
//               -> FAILED     it refused the job; nothing printed
//               -> UNKNOWN    it may have the job (or the host stopped mid-print)
//   SUBMITTED / OBSERVED -> OBSERVED, COMPLETED or UNKNOWN, as the print system
//                          reports the job afterwards

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/spooler.h"
#include "state/ledger.h"
#include "support/host_error.h"

namespace tph {

// The name a state is stored and answered with.
std::string_view state_name(JobState state);
// The state a stored name means; nothing for a name this host never writes.
std::optional<JobState> parse_state(std::string_view name);

// A new attempt, recorded before anything reaches the print system.
JobRecord begin_attempt(std::string_view intent_id, std::string_view fingerprint, std::string_view printer,
                        uint64_t now);
// The print system took the job `job_id`.
void record_submitted(JobRecord& record, uint32_t job_id, uint64_t now);
// The print ended with `error`: FAILED when nothing can have printed,
// UNKNOWN when the print system may have the job (`started_job_id`, when
// not 0, names it).
void record_print_error(JobRecord& record, const HostError& error, uint32_t started_job_id, uint64_t now);
// An attempt found DISPATCHING at start-up: the host stopped mid-print, so
// its outcome is unknown. False for any other state.
bool record_interrupted(JobRecord& record, uint64_t now);

// The spooler may still tell what became of the job.
bool in_flight(JobState state);
// The state after the print system answered about the job; nothing when the
// answer changes nothing.
std::optional<JobState> observed_state(JobState stored, JobObservation answer);
// Applies an observation; true when the state changed.
bool record_observation(JobRecord& record, JobObservation answer, uint64_t now);

// How a repeat of the attempt is answered.
enum class RepeatAnswer : uint8_t {
  kDuplicate,       // printed (or printing): the stored reply again
  kFailed,          // ATTEMPT_FAILED
  kUnknownOutcome,  // UNKNOWN_OUTCOME
};
RepeatAnswer repeat_answer(JobState state);

// Pruning may drop the record: never an attempt mid-print, nor one whose
// outcome the fleet's shared ledger has not had yet, nor a claim whose
// answer was lost (only this record can take it up).
bool may_prune(const JobRecord& record);

// With a fleet: the state a ledger notes for a claim that may stand although
// its answer never came (nothing was printed for it; the record keeps the
// attempt's nonce), and the one it notes for a record another station wrote
// over (nothing more is written for it).
inline constexpr std::string_view kClaimUncertain = "CLAIMING";
inline constexpr std::string_view kClaimTaken = "TAKEN";
// The record's last state is not in the shared ledger yet.
bool owes_fleet(const JobRecord& record);
// The record is a note of a claim whose answer was lost.
bool claim_noted(const JobRecord& record);

}  // namespace tph
