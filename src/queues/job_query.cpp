#include "queues/job_query.h"

#include "fleet/fleet_sync.h"

#include <algorithm>
#include <vector>

#include "state/attempt_archive.h"
#include "state/attempt_state.h"
#include "state/job_uuid.h"
#include "support/error_catalogue.h"
#include "platform/clock.h"

namespace tph {

std::optional<uint32_t> parse_spooler_job_id(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > 0xFFFFFFFFull) return std::nullopt;
  }
  return static_cast<uint32_t>(value);
}

Result<FoundJobs> find_jobs(std::string_view prefix, size_t limit, StateStore& store, FleetLedger* fleet) {
  std::optional<FleetPage> shared;
  if (fleet != nullptr) {
    publish_owed(store, *fleet, 8);
    Result<FleetPage> page = fleet->find(prefix, limit, fleet->deadline());
    if (!page.ok()) return page.take_error();
    shared = std::move(page.value());
  }
  // The ledger is ordered by id, so its matches are one run of it; the
  // archive adds the older attempts the ledger no longer holds.
  std::vector<const JobRecord*> found;
  for (auto it = store.ledger.jobs.lower_bound(std::string(prefix));
       it != store.ledger.jobs.end() && std::string_view(it->first).substr(0, prefix.size()) == prefix; ++it) {
    found.push_back(&it->second);
  }
  Result<AttemptArchive::Matches> archived = AttemptArchive(*store.fs, store.folder)
      .with_prefix(prefix, limit, [&store](std::string_view id) { return store.ledger.jobs.count(std::string(id)) > 0; });
  if (!archived.ok()) return archived.take_error();
  for (const JobRecord& r : archived.value().records) found.push_back(&r);
  size_t shared_only = 0;
  if (shared) {
    for (const JobRecord& r : shared->jobs) {
      if (store.ledger.jobs.count(r.intent_id) > 0) continue;
      found.push_back(&r);
      ++shared_only;
    }
  }
  std::stable_sort(found.begin(), found.end(), [](const JobRecord* a, const JobRecord* b) {
    return a->created_at_ms > b->created_at_ms;
  });
  const size_t matched = found.size() - archived.value().records.size() + archived.value().matched;
  FoundJobs r;
  for (size_t i = 0; i < found.size() && i < limit; ++i) r.jobs.push_back(*found[i]);
  r.truncated = matched > limit || (shared && shared->truncated);
  (void)shared_only;
  return r;
}

Result<JobRecord> get_job(const std::string& intent_id, StateStore& store, Spooler& spooler, Clock& clock,
                          FleetLedger* fleet) {
  using namespace errors;
  if (fleet != nullptr) publish_owed(store, *fleet, 8);
  auto it = store.ledger.jobs.find(intent_id);
  if (it == store.ledger.jobs.end()) {
    // An attempt the ledger pruned is answered as archived: its job is
    // long out of the print system's history.
    Result<std::optional<JobRecord>> archived = find_attempt(store, intent_id);
    if (!archived.ok()) return archived.take_error();
    if (archived.value()) return std::move(*archived.value());
    if (fleet == nullptr) return make(kJobNotFound, kMsgJobNotFound);
    Result<std::optional<FleetRecord>> shared = fleet->read(intent_id, fleet->deadline());
    if (!shared.ok()) return shared.take_error();
    if (!shared.value()) return make(kJobNotFound, kMsgJobNotFound);
    return std::move(shared.value()->record);
  }
  const JobRecord& record = it->second;

  std::optional<uint32_t> job_id = parse_spooler_job_id(record.os_job_id);
  if (in_flight(record.state) && job_id) {
    const JobObservation answer = spooler.observe_job(record.printer, *job_id, record.created_at_ms,
                                                      attempt_job_uuid(record.intent_id, record.created_at_ms));
    const uint64_t now = now_ms(clock);
    auto again = store.ledger.jobs.find(intent_id);
    if (again == store.ledger.jobs.end()) return make(kStateCorrupt, kMsgAttemptDisappeared);
    if (record_observation(again->second, answer, now)) {
      store.ledger.updated_at_ms = now;
      if (Status s = save_ledger(store); !s.ok()) return s.take_error();
      // The fleet hears what the print system said.
      if (fleet != nullptr) publish_owed(store, *fleet, 8);
    }
  }
  return store.ledger.jobs.at(intent_id);
}

}  // namespace tph
