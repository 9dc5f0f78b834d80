#include "submit/attempt_runner.h"

#include "platform/clock.h"
#include "state/attempt_state.h"
#include "state/job_uuid.h"
#include "state/ledger_recovery.h"
#include "support/error_catalogue.h"

namespace tph {
namespace {

using namespace errors;

Result<SubmitReply> answer_repeat(const JobRecord& record, const OutputIdentity& output, const std::string& printer) {
  if (!same_output(record, output, printer)) {
    HostError conflict = make(kIntentConflict, kMsgIntentConflict);
    conflict.earlier = EarlierAttempt{record.printer, record.created_at_ms, std::string(state_name(record.state))};
    return conflict;
  }
  switch (repeat_answer(record.state)) {
    case RepeatAnswer::kDuplicate: return SubmitReply{record, true, std::nullopt};
    case RepeatAnswer::kFailed: return make(kAttemptFailed, kMsgAttemptFailed);
    case RepeatAnswer::kUnknownOutcome: break;
  }
  return make(kUnknownOutcome, kMsgUnknownOutcome);
}

}  // namespace

bool same_output(const JobRecord& record, const OutputIdentity& output, const std::string& printer) {
  if (record.payload_sha256 == output.fingerprint) return true;
  // The older layout joined printer and media with no boundary; with the
  // printer equal, the media tokens are equal too.
  return !output.legacy_fingerprint.empty() && record.payload_sha256 == output.legacy_fingerprint &&
         record.printer == printer;
}

Result<SubmitReply> run_attempt(PrintContext& ctx, const AttemptKey& key, const OutputIdentity& output,
                                const PrintStep& print) {
  HostLedger& ledger = ctx.state.ledger;
  // The ledger in memory is the one on disk, and the lock still guards it:
  // only then does its silence about an intent mean the intent is new.
  if (Status s = check_state_guard(ctx.state); !s.ok()) return s.take_error();
  Result<std::optional<JobRecord>> known = find_attempt(ctx.state, key.intent_id);
  if (!known.ok()) return known.take_error();
  if (known.value()) return answer_repeat(*known.value(), output, key.printer);

  const uint64_t created = now_ms(ctx.clock);
  // A long run prunes as start-up does before the ledger outgrows what the
  // next start-up accepts; the newest records, and so the recent attempts,
  // are always kept, and the pruned ones go to the archive.
  if (ledger.jobs.size() >= kMaxLedgerRecords) {
    if (Status s = repair_and_archive(ctx.state, created); !s.ok()) return s.take_error();
  }
  ledger.jobs.emplace(key.intent_id, begin_attempt(key.intent_id, output.fingerprint, key.printer, created));
  ledger.updated_at_ms = created;
  if (Status s = save_ledger(ctx.state); !s.ok()) return s.take_error();

  // The record is on disk; nothing reaches the print system unless the
  // lock still guards the folder it is in and nobody else wrote the ledger.
  if (Status s = check_state_guard(ctx.state); !s.ok()) return s.take_error();
  const PrintOutcome printed = print(attempt_job_uuid(key.intent_id, created));

  const uint64_t now = now_ms(ctx.clock);
  auto it = ledger.jobs.find(key.intent_id);
  if (it == ledger.jobs.end()) return make(kStateCorrupt, kMsgAttemptDisappeared);
  JobRecord& stored = it->second;
  ledger.updated_at_ms = now;
  if (!printed.ok()) {
    record_print_error(stored, printed.error(), printed.job_id(), now);
    // The print's own error is the answer, saved or not: an outcome that
    // did not reach the disk reads UNKNOWN at the next start, and a host
    // that cannot save stops.
    if (Status s = save_ledger(ctx.state); !s.ok()) {
      ctx.state.lost = true;
      ctx.state.lost_because = kMsgOutcomeNotSaved;
    }
    return printed.error();
  }
  record_submitted(stored, printed.job_id(), now);
  SubmitReply reply{stored, false, std::nullopt};
  if (Status s = save_ledger(ctx.state); !s.ok()) {
    // The label was handed to the print system: that is the answer, with
    // what could not be recorded. The host stops, and its next start finds
    // the attempt in DISPATCHING (UNKNOWN, never printed again) or, when
    // the save reached the disk after all, SUBMITTED.
    ctx.state.lost = true;
    ctx.state.lost_because = kMsgOutcomeNotSaved;
    reply.save_error = s.error().message;
  }
  return reply;
}

}  // namespace tph
