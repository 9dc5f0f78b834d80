#pragma once
// The open durable state: the state folder, the in-memory ledger and
// ledger.lock. The lock is held for one piece of work at a time (start-up, a
// request, recording what a watch saw), never while the host waits for its
// next message, so a host left open never keeps another from printing.

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "support/host_error.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "state/ledger.h"

namespace tph {

inline constexpr const char* kStateFolderName = "com.tavelin.print";
inline constexpr const char* kLedgerFileName = "ledger.json";
inline constexpr const char* kLockFileName = "ledger.lock";
inline constexpr const char* kBridgeStatusFileName = "bridge-status.json";

// The most records ledger.json ever holds: start-up prunes to the record cap,
// and a run that reaches this many prunes the same way before it adds
// another, so a long run never writes a ledger the next start would refuse.
inline constexpr size_t kMaxLedgerRecords = 8000;

// The most ledger.json may hold before it is refused as corrupt, so that a
// file planted or grown there cannot exhaust memory at start-up: every
// record at its largest, and the document around them.
inline constexpr size_t kMaxLedgerBytes = kMaxLedgerRecords * record_limits::kWrittenBytes + 4096;

struct StateStore {
  std::string folder;
  HostLedger ledger;
  std::unique_ptr<LockFile> lock;  // closing it releases the lock
  // This host holds the lock now: the in-memory ledger is the one on disk,
  // and only this host may change it.
  bool held = false;
  FileSystem* fs = nullptr;
  // ledger.json as this host last read or wrote it (nothing: there was no
  // file). Any other version at the path was written by another program.
  std::optional<FileStamp> ledger_stamp;
  // The lock no longer guards the state at the folder's path (the lock file
  // was deleted or replaced, or the folder moved), or another program wrote
  // the ledger meanwhile. Nothing more may be saved or printed: the host
  // answers the request at hand and stops.
  bool lost = false;
  // Why the store was lost.
  std::string lost_because;
};

// Locates and creates the state folder, takes the exclusive lock (waiting as
// long as another host holds it), loads and repairs the ledger, and saves it
// when the repair changed it. Every failure releases the lock.
Result<StateStore> open_state(FileSystem& fs, Clock& clock);

// Takes the lock for one piece of work (waiting as long as another host
// holds it) and makes the in-memory ledger the one on disk: when another
// host saved since this one last read or wrote it, it is read again and
// repaired as start-up repairs it. A ledger that vanished or cannot be read
// any more marks the store lost. Holding it already is success.
Status hold_state(StateStore& store, Clock& clock);

// Lets the lock go; another host may change the ledger from now on.
void release_state(StateStore& store);

// Holds the state for a scope: the lock is let go on every path out.
class StateHold {
 public:
  StateHold(StateStore& store, Clock& clock) : store_(store), was_held_(store.held), status_(hold_state(store, clock)) {}
  ~StateHold() {
    if (!was_held_) release_state(store_);
  }
  StateHold(const StateHold&) = delete;
  StateHold& operator=(const StateHold&) = delete;
  const Status& status() const { return status_; }
  // Lets the lock go before the scope ends (as the destructor would).
  void release() {
    if (!was_held_) release_state(store_);
    was_held_ = true;
  }

 private:
  StateStore& store_;
  bool was_held_;
  Status status_;
};

// Writes the whole in-memory ledger to ledger.json atomically, once the lock
// has proved that it still guards the state at the folder's path. Callers
// set the time stamps first; this changes nothing in memory.
Status save_ledger(StateStore& store);

// Repairs the ledger as start-up does at time `now` (see recover_and_prune),
// moves the records it prunes into the archive, and saves the ledger when
// anything changed. The archive holds the records before the ledger that
// drops them is saved.
Status repair_and_archive(StateStore& store, uint64_t now);

// The attempt's record: the ledger's, else the archive's; nothing when
// neither knows the intent.
Result<std::optional<JobRecord>> find_attempt(StateStore& store, const std::string& intent_id);

// Proves that the held lock still guards the state at the folder's path and
// that ledger.json is the version this host last read or wrote; otherwise
// marks the store lost and fails with STATE_UNAVAILABLE. A host that finds
// another writer's ledger while it holds the lock knows that the lock does
// not exclude that writer: re-reading would only race it again.
Status check_state_guard(StateStore& store);

}  // namespace tph
