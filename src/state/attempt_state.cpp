#include "state/attempt_state.h"

#include <algorithm>
#include <string>

#include "support/error_catalogue.h"

namespace tph {
namespace {

constexpr std::pair<JobState, std::string_view> kNames[] = {
    {JobState::kDispatching, "DISPATCHING"}, {JobState::kSubmitted, "SUBMITTED"},
    {JobState::kObserved, "OBSERVED"},       {JobState::kCompleted, "COMPLETED"},
    {JobState::kFailed, "FAILED"},           {JobState::kUnknown, "UNKNOWN"},
};

// A record's times never run backwards, even when the clock does.
void touch(JobRecord& record, uint64_t now) { record.updated_at_ms = std::max(now, record.created_at_ms); }

}  // namespace

std::string_view state_name(JobState state) {
  for (const auto& [s, name] : kNames) {
    if (s == state) return name;
  }
  return "UNKNOWN";
}

std::optional<JobState> parse_state(std::string_view name) {
  for (const auto& [s, n] : kNames) {
    if (n == name) return s;
  }
  return std::nullopt;
}

JobRecord begin_attempt(std::string_view intent_id, std::string_view fingerprint, std::string_view printer,
                        uint64_t now) {
  JobRecord r;
  r.intent_id = intent_id;
  r.payload_sha256 = fingerprint;
  r.state = JobState::kDispatching;
  r.printer = printer;
  r.created_at_ms = now;
  r.updated_at_ms = now;
  return r;
}

void record_submitted(JobRecord& record, uint32_t job_id, uint64_t now) {
  record.state = JobState::kSubmitted;
  record.os_job_id = std::to_string(job_id);
  touch(record, now);
}

void record_print_error(JobRecord& record, const HostError& error, uint32_t started_job_id, uint64_t now) {
  record.state = error.code == errors::kUnknownOutcome ? JobState::kUnknown : JobState::kFailed;
  if (started_job_id != 0) record.os_job_id = std::to_string(started_job_id);
  record.error_code = error.code_name();
  record.error_message = cut_text(error.message, record_limits::kErrorMessage);
  touch(record, now);
}

bool record_interrupted(JobRecord& record, uint64_t now) {
  if (record.state != JobState::kDispatching) return false;
  record.state = JobState::kUnknown;
  record.error_code = code_name(errors::kHostRestarted);
  record.error_message = errors::kMsgHostRestarted;
  touch(record, now);
  return true;
}

bool in_flight(JobState state) { return state == JobState::kSubmitted || state == JobState::kObserved; }

std::optional<JobState> observed_state(JobState stored, JobObservation answer) {
  switch (answer) {
    case JobObservation::kDeleted: return JobState::kUnknown;
    case JobObservation::kCompleted: return JobState::kCompleted;
    case JobObservation::kActive: return JobState::kObserved;
    // A job the system no longer knows: gone after it was seen, or not
    // visible yet.
    case JobObservation::kNoSuchJob:
      if (stored == JobState::kObserved) return JobState::kUnknown;
      return std::nullopt;
    case JobObservation::kQueryFailed: return std::nullopt;
  }
  return std::nullopt;
}

bool record_observation(JobRecord& record, JobObservation answer, uint64_t now) {
  std::optional<JobState> next = observed_state(record.state, answer);
  if (!next || *next == record.state) return false;
  record.state = *next;
  touch(record, now);
  return true;
}

RepeatAnswer repeat_answer(JobState state) {
  switch (state) {
    case JobState::kSubmitted:
    case JobState::kObserved:
    case JobState::kCompleted: return RepeatAnswer::kDuplicate;
    case JobState::kFailed: return RepeatAnswer::kFailed;
    case JobState::kUnknown:
    case JobState::kDispatching: return RepeatAnswer::kUnknownOutcome;
  }
  return RepeatAnswer::kUnknownOutcome;
}

bool owes_fleet(const JobRecord& record) {
  return record.fleet_revision != 0 && !claim_noted(record) && record.fleet_state != kClaimTaken &&
         record.fleet_state != state_name(record.state);
}

bool claim_noted(const JobRecord& record) { return record.fleet_state == kClaimUncertain; }

bool may_prune(const JobRecord& record) {
  return record.state != JobState::kDispatching && !owes_fleet(record) && !claim_noted(record);
}

}  // namespace tph
