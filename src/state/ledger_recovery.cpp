#include "state/ledger_recovery.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "state/attempt_state.h"

namespace tph {

Repair recover_and_prune(HostLedger& ledger, uint64_t now) {
  Repair repair;
  bool& changed = repair.changed;
  for (auto& [key, record] : ledger.jobs) {
    if (record_interrupted(record, now)) changed = true;
  }

  const uint64_t cutoff = now > kRetentionWindowMs ? now - kRetentionWindowMs : 0;
  for (auto it = ledger.jobs.begin(); it != ledger.jobs.end();) {
    if (may_prune(it->second) && it->second.updated_at_ms < cutoff) {
      repair.pruned.push_back(std::move(it->second));
      it = ledger.jobs.erase(it);
      changed = true;
    } else {
      ++it;
    }
  }

  if (ledger.jobs.size() > kRecordCap) {
    std::vector<std::pair<uint64_t, const std::string*>> candidates;  // key order, from the map
    for (const auto& [key, record] : ledger.jobs) {
      if (may_prune(record)) candidates.emplace_back(record.updated_at_ms, &key);
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    size_t excess = std::min(ledger.jobs.size() - kRecordCap, candidates.size());
    std::vector<std::string> doomed;
    doomed.reserve(excess);
    for (size_t i = 0; i < excess; ++i) doomed.push_back(*candidates[i].second);
    for (const auto& key : doomed) {
      auto it = ledger.jobs.find(key);
      repair.pruned.push_back(std::move(it->second));
      ledger.jobs.erase(it);
    }
    changed = changed || excess > 0;
  }

  ledger.updated_at_ms = now;
  return repair;
}

}  // namespace tph
