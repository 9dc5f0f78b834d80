#include "queues/watch.h"

#include "queues/job_query.h"
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
  for (const std::string& p : seen_p) printers_.try_emplace(p);
  for (const std::string& i : seen_i) intents_.try_emplace(i);
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

WatchEvents Watch::look(StateStore& store, Spooler& spooler, Clock& clock, PrinterVoice& voice) {
  WatchEvents events;
  if (!intents_.empty()) {
    StateHold hold(store, clock);
    if (hold.status().ok()) {
      for (auto& [id, seen] : intents_) {
        const bool in_ledger = store.ledger.jobs.count(id) > 0;
        // An attempt the ledger does not hold is looked for in the archive
        // once: a new attempt is always made in the ledger.
        if (!in_ledger && seen.archive_checked) continue;
        if (!in_ledger) seen.archive_checked = true;
        Result<JobRecord> record = get_job(id, store, spooler, clock);
        if (!record.ok()) {
          if (store.lost) break;
          continue;  // not made yet, or unreadable for now: asked again next time
        }
        if (seen.state == record.value().state) continue;
        seen.state = record.value().state;
        events.jobs.push_back(std::move(record.value()));
      }
    }
  }
  std::vector<QueueEntry> entries;
  for (const auto& [name, _] : printers_) {
    QueueEntry& entry = entries.emplace_back();
    if (std::optional<QueueEntry> now = spooler.queue_entry(name)) {
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
