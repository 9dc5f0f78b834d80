#include "queues/watch.h"

#include "queues/job_query.h"
#include "state/job_uuid.h"
#include "state/attempt_state.h"
#include "support/error_catalogue.h"

namespace tph {
namespace {

// What a listener of a queue cares about, as one comparable text.
std::string signature(const QueueEntry& e) {
  std::string s(e.state);
  s += e.accepting ? "|1|" : "|0|";
  for (const std::string& r : e.reasons) s += r + ",";
  return s;
}

}  // namespace

Status Watch::add(const std::vector<std::string>& printers, const std::vector<std::string>& intents) {
  size_t new_printers = 0, new_intents = 0;
  std::set<std::string> seen_p(printers.begin(), printers.end()), seen_i(intents.begin(), intents.end());
  for (const std::string& p : seen_p) new_printers += !printers_.count(p);
  for (const std::string& i : seen_i) new_intents += !intents_.count(i);
  if (printers_.size() + new_printers > kMaxPrinters || intents_.size() + new_intents > kMaxIntents) {
    return errors::make(errors::kBadRequest, errors::kMsgWatchTooLarge);
  }
  // Each watch is told the state now, also of what another watch on the
  // port already follows: it may have heard it before this one began.
  for (const std::string& p : seen_p) printers_[p].reset();
  for (const std::string& i : seen_i) intents_[i] = JobSeen{};
  return Status::Ok();
}

void Watch::remove(const std::vector<std::string>& printers, const std::vector<std::string>& intents) {
  if (printers.empty() && intents.empty()) {
    printers_.clear();
    intents_.clear();
    return;
  }
  for (const std::string& p : printers) printers_.erase(p);
  for (const std::string& i : intents) intents_.erase(i);
}

bool Watch::has_new() const {
  for (const auto& [_, last] : printers_) {
    if (!last) return true;
  }
  for (const auto& [_, seen] : intents_) {
    if (!seen.state && !seen.archive_checked) return true;
  }
  return false;
}

std::vector<std::string> Watch::printers() const {
  std::vector<std::string> r;
  for (const auto& [name, _] : printers_) r.push_back(name);
  return r;
}

std::vector<std::string> Watch::intents() const {
  std::vector<std::string> r;
  for (const auto& [id, _] : intents_) r.push_back(id);
  return r;
}

void Watch::look_at_attempts(StateStore& store, Spooler& spooler, Clock& clock, WatchEvents& events) {
  // The records are read under the lock and the print system is asked
  // without it, so that a watch of many attempts never keeps another host
  // from printing while the scheduler answers; what it says is recorded
  // under the lock again, onto the record as it is then.
  struct InFlight {
    std::string intent_id;
    std::string printer;
    uint32_t job_id;
    uint64_t created_at_ms;
    JobState state;
    std::string os_job_id;
    JobObservation answer = JobObservation::kQueryFailed;
  };
  std::vector<InFlight> asking;
  auto tell = [&](const JobRecord& record) {
    JobSeen& seen = intents_.at(record.intent_id);
    if (seen.state == record.state) return;
    seen.state = record.state;
    events.jobs.push_back(record);
  };
  {
    StateHold hold(store, clock);
    if (!hold.status().ok()) return;
    for (auto& [id, seen] : intents_) {
      auto it = store.ledger.jobs.find(id);
      if (it == store.ledger.jobs.end()) {
        // An attempt the ledger does not hold is looked for in the archive
        // once: a new attempt is always made in the ledger.
        if (seen.archive_checked) continue;
        seen.archive_checked = true;
        Result<std::optional<JobRecord>> archived = find_attempt(store, id);
        if (archived.ok() && archived.value()) tell(*archived.value());
        continue;
      }
      const JobRecord& record = it->second;
      std::optional<uint32_t> job_id = parse_spooler_job_id(record.os_job_id);
      if (in_flight(record.state) && job_id) {
        asking.push_back({id, record.printer, *job_id, record.created_at_ms, record.state, record.os_job_id});
      } else {
        tell(record);
      }
    }
  }
  if (asking.empty()) return;
  for (InFlight& a : asking) {
    a.answer = spooler.observe_job(a.printer, a.job_id, a.created_at_ms, attempt_job_uuid(a.intent_id, a.created_at_ms));
  }
  StateHold hold(store, clock);
  if (!hold.status().ok()) return;
  const uint64_t now = now_ms(clock);
  bool changed = false;
  std::vector<std::string> told;
  for (const InFlight& a : asking) {
    auto it = store.ledger.jobs.find(a.intent_id);
    if (it == store.ledger.jobs.end()) continue;
    JobRecord& record = it->second;
    // Another host moved the record on meanwhile: its word stands, and it is
    // told as it is now.
    if (record.state == a.state && record.os_job_id == a.os_job_id && record_observation(record, a.answer, now)) {
      changed = true;
    }
    told.push_back(a.intent_id);
  }
  if (changed) {
    store.ledger.updated_at_ms = now;
    if (!save_ledger(store).ok()) return;  // not recorded: not told; the store says why when it was lost
  }
  for (const std::string& id : told) tell(store.ledger.jobs.at(id));
}

WatchEvents Watch::look(StateStore& store, Spooler& spooler, Clock& clock, PrinterVoice& voice) {
  WatchEvents events;
  if (!intents_.empty()) look_at_attempts(store, spooler, clock, events);
  std::vector<QueueEntry> entries;
  for (const auto& [name, _] : printers_) {
    QueueEntry& entry = entries.emplace_back();
    if (std::optional<QueueEntry> now = spooler.queue_status(name)) {
      entry = std::move(*now);
    } else {
      entry.name = name;
      entry.state = "unavailable";
      entry.accepting = false;
    }
  }
  voice.hear_all(entries);
  size_t i = 0;
  for (auto& [name, last] : printers_) {
    QueueEntry& entry = entries[i++];
    std::string sig = signature(entry);
    if (last == sig) continue;
    last = std::move(sig);
    entry.notices.clear();
    events.printers.push_back(std::move(entry));
  }
  return events;
}

}  // namespace tph
