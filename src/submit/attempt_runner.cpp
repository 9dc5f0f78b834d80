#include "submit/attempt_runner.h"

#include "platform/clock.h"
#include "state/attempt_state.h"
#include "state/job_uuid.h"
#include "state/ledger_recovery.h"
#include "fleet/fleet_sync.h"
#include "support/error_catalogue.h"

namespace tph {
namespace {

using namespace errors;

EarlierAttempt earlier_of(const JobRecord& record) {
  return EarlierAttempt{record.printer, record.created_at_ms, std::string(state_name(record.state)), record.station};
}

Result<SubmitReply> answer_repeat(const JobRecord& record, const OutputIdentity& output, const std::string& printer) {
  if (!same_output(record, output, printer)) {
    HostError conflict = make(kIntentConflict, kMsgIntentConflict);
    conflict.earlier = earlier_of(record);
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

namespace {

// The attempt's record is in the ledger (not yet saved); saves it, prints,
// and records the outcome. With a fleet, the outcome goes to the shared
// ledger after it is saved here.
Result<SubmitReply> print_recorded(PrintContext& ctx, const AttemptKey& key, const PrintStep& print,
                                   const std::string& token) {
  HostLedger& ledger = ctx.state.ledger;
  const uint64_t created = ledger.jobs.at(key.intent_id).created_at_ms;
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
  // The shared ledger hears the outcome once it is saved here; what it
  // could not hear now it hears later.
  auto tell_fleet = [&] {
    if (ctx.fleet != nullptr && !token.empty()) ctx.fleet->publish(stored, token, ctx.fleet->deadline());
  };
  if (!printed.ok()) {
    record_print_error(stored, printed.error(), printed.job_id(), now);
    // The print's own error is the answer, saved or not: an outcome that
    // did not reach the disk reads UNKNOWN at the next start, and a host
    // that cannot save stops.
    if (Status s = save_ledger(ctx.state); !s.ok()) {
      ctx.state.lost = true;
      ctx.state.lost_because = kMsgOutcomeNotSaved;
    } else {
      tell_fleet();
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
  } else {
    tell_fleet();
    reply.record = stored;
  }
  return reply;
}

// A long run prunes as start-up does before the ledger outgrows what the
// next start-up accepts; the newest records, and so the recent attempts,
// are always kept, and the pruned ones go to the archive.
Status make_room(PrintContext& ctx, uint64_t now) {
  if (ctx.state.ledger.jobs.size() < kMaxLedgerRecords) return Status::Ok();
  return repair_and_archive(ctx.state, now);
}

HostError nothing_printed(HostError error) {
  error.message += kMsgNothingPrinted;
  return error;
}

// An attempt of a station in a fleet: claimed in the shared ledger before
// anything else, then recorded, printed and recorded as alone. `note` is
// this ledger's note of an earlier try of the attempt whose claim's answer
// was lost, if any: the repeat is the same attempt (its nonce), and takes
// that claim up if it stands.
Result<SubmitReply> run_fleet_attempt(PrintContext& ctx, const AttemptKey& key, const OutputIdentity& output,
                                      const PrintStep& print, const JobRecord* note) {
  FleetLedger& fleet = *ctx.fleet;
  HostLedger& ledger = ctx.state.ledger;
  // One bound for the whole claim: a refusal never takes longer.
  const FleetDeadline deadline = fleet.deadline();
  Result<std::string> token = ledger_claim_token(ctx.state, key.intent_id);
  if (!token.ok()) return token.take_error();
  const std::string nonce = note != nullptr ? note->fleet_nonce : new_attempt_nonce();
  if (nonce.size() != kAttemptNonceChars) {
    return make(kFleetUnavailable, "The system gave no random numbers for a claim.");
  }
  const bool noted = note != nullptr;

  const uint64_t created = now_ms(ctx.clock);
  JobRecord attempt = begin_attempt(key.intent_id, output.fingerprint, key.printer, created);
  attempt.station = fleet.policy().station;
  attempt.fleet_nonce = nonce;
  Result<Claimed> claimed = fleet.claim(attempt, token.value(), deadline);
  if (!claimed.ok()) {
    // The claim may stand although its answer was lost: the ledger notes
    // that nothing was printed for it, so that a repeat from this station
    // may take it up. Any other station finds it being printed.
    HostError refused = nothing_printed(claimed.take_error());
    if (Status s = make_room(ctx, created); !s.ok()) return s.take_error();
    JobRecord kept = attempt;
    kept.state = JobState::kFailed;
    kept.error_code = refused.code_name();
    kept.error_message = cut_text(refused.message, record_limits::kErrorMessage);
    kept.fleet_state = std::string(kClaimUncertain);
    ledger.jobs.insert_or_assign(key.intent_id, std::move(kept));
    ledger.updated_at_ms = created;
    if (Status s = save_ledger(ctx.state); !s.ok()) return s.take_error();
    return refused;
  }
  Claimed& claim = claimed.value();
  if (claim.ours && claim.stored.record.state == JobState::kDispatching && !claim.made_now) {
    // Claimed from this ledger by an attempt it no longer knows (its record
    // was lost, or the ledger is an older copy): it may have printed. Its
    // outcome is unknown, here and in the fleet.
    if (Status s = make_room(ctx, created); !s.ok()) return s.take_error();
    JobRecord lost = claim.stored.record;
    record_interrupted(lost, created);
    lost.fleet_revision = claim.revision;
    lost.fleet_state = std::string(state_name(JobState::kDispatching));
    lost.fleet_nonce = claim.stored.nonce;
    auto placed = ledger.jobs.insert_or_assign(key.intent_id, std::move(lost)).first;
    ledger.updated_at_ms = created;
    if (Status s = save_ledger(ctx.state); !s.ok()) return s.take_error();
    fleet.publish(placed->second, token.value(), deadline);
    return answer_repeat(placed->second, output, key.printer);
  }
  if (!claim.ours || claim.stored.record.state != JobState::kDispatching) {
    // Another station's attempt, or one of ours already past printing:
    // answered as the record stands, never printed here.
    if (noted) {
      ledger.jobs.erase(key.intent_id);
      if (Status s = save_ledger(ctx.state); !s.ok()) return s.take_error();
    }
    const JobRecord& theirs = claim.stored.record;
    if (theirs.state == JobState::kDispatching && same_output(theirs, output, key.printer)) {
      HostError busy = make(kIntentInProgress, kMsgIntentInProgress);
      busy.earlier = earlier_of(theirs);
      return busy;
    }
    return answer_repeat(theirs, output, key.printer);
  }
  // Ours, and nothing printed for it yet.
  if (Status s = make_room(ctx, created); !s.ok()) return s.take_error();
  attempt.fleet_revision = claim.revision;
  attempt.fleet_state = std::string(state_name(JobState::kDispatching));
  ledger.jobs.insert_or_assign(key.intent_id, std::move(attempt));
  ledger.updated_at_ms = created;
  Result<SubmitReply> reply = print_recorded(ctx, key, print, token.value());
  // The fleet answered just now: what this station still owes it from
  // earlier goes too, after the label, never before it.
  if (!ctx.state.lost) publish_owed(ctx.state, fleet, 8);
  return reply;
}

}  // namespace

Result<SubmitReply> run_attempt(PrintContext& ctx, const AttemptKey& key, const OutputIdentity& output,
                                const PrintStep& print) {
  HostLedger& ledger = ctx.state.ledger;
  // The ledger in memory is the one on disk, and the lock still guards it:
  // only then does its silence about an intent mean the intent is new.
  if (Status s = check_state_guard(ctx.state); !s.ok()) return s.take_error();
  Result<std::optional<JobRecord>> known = find_attempt(ctx.state, key.intent_id);
  if (!known.ok()) return known.take_error();
  const bool noted = known.value() && claim_noted(*known.value());
  if (known.value() && !(noted && ctx.fleet != nullptr)) return answer_repeat(*known.value(), output, key.printer);
  if (ctx.fleet != nullptr) return run_fleet_attempt(ctx, key, output, print, noted ? &*known.value() : nullptr);

  const uint64_t created = now_ms(ctx.clock);
  if (Status s = make_room(ctx, created); !s.ok()) return s.take_error();
  ledger.jobs.emplace(key.intent_id, begin_attempt(key.intent_id, output.fingerprint, key.printer, created));
  ledger.updated_at_ms = created;
  return print_recorded(ctx, key, print, std::string());
}

}  // namespace tph
