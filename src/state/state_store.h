#pragma once
// The open durable state: the state folder, the in-memory ledger and the
// locked ledger.lock, held from start-up until the process ends.

#include <memory>
#include <string>

#include "host/host_error.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "state/ledger.h"

namespace tph {

inline constexpr const char* kStateFolderName = "com.tavelin.print";
inline constexpr const char* kLedgerFileName = "ledger.json";
inline constexpr const char* kLockFileName = "ledger.lock";
inline constexpr const char* kBridgeStatusFileName = "bridge-status.json";

struct StateStore {
  std::string folder;
  HostLedger ledger;
  std::unique_ptr<LockFile> lock;  // closing it releases the lock
  FileSystem* fs = nullptr;
};

// Locates and creates the state folder, takes the exclusive lock (waiting as
// long as another host holds it), loads and repairs the ledger, and saves it
// when the repair changed it. Every failure releases the lock.
Result<StateStore> open_state(FileSystem& fs, Clock& clock);

// Writes the whole in-memory ledger to ledger.json atomically. Callers set the
// time stamps first; this changes nothing in memory.
Status save_ledger(StateStore& store);

}  // namespace tph
