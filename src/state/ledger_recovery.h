#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "state/ledger.h"

namespace tph {

inline constexpr uint64_t kRetentionWindowMs = 2'592'000'000ULL;  // 30 days
inline constexpr size_t kRecordCap = 5000;

// What a repair did: whether a record changed or was removed (the ledger
// must then be saved), and the records it removed, which the archive keeps.
struct Repair {
  bool changed = false;
  std::vector<JobRecord> pruned;
  explicit operator bool() const { return changed; }
};

// Start-up repair at time `now`: attempts left DISPATCHING become UNKNOWN with
// HOST_RESTARTED; records untouched for longer than the retention window are
// removed, then the oldest beyond the record cap; the ledger's time stamp
// moves to `now`.
Repair recover_and_prune(HostLedger& ledger, uint64_t now);

}  // namespace tph
