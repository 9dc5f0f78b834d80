#include "state/state_store.h"

#include <new>

#include "support/error_catalogue.h"
#include "state/atomic_file.h"
#include "state/ledger_json.h"
#include "state/ledger_recovery.h"
#include "platform/clock.h"

namespace tph {
namespace {

// Each retry follows a lock file replaced between our open and our lock;
// only a path that keeps changing under us uses them all up.
constexpr int kLockAttempts = 100;

}  // namespace

Result<StateStore> open_state(FileSystem& fs, Clock& clock) {
  using namespace errors;
  const std::optional<std::string> root = fs.locate_user_state_root();
  if (!root) return make(kStateUnavailable, kMsgNoAppData);

  StateStore store;
  store.fs = &fs;
  store.folder = fs.join(*root, kStateFolderName);
  if (OsStatus s = fs.create_directories(store.folder); !s.ok) {
    return with_description(kStateUnavailable, kPfxCreateState, s.description);
  }
  // The lock counts only if, once held, the file at the path is still the
  // one locked: a host that exited may have had its lock file deleted
  // meanwhile, and another may have made a new one. Then lock that one.
  for (int attempt = 0;; ++attempt) {
    OsResult<std::unique_ptr<LockFile>> lock = fs.open_lock_file(fs.join(store.folder, kLockFileName));
    if (!lock.ok()) return with_description(kStateUnavailable, kPfxOpenLock, lock.error().description);
    store.lock = std::move(lock.value());
    // From here on every early return destroys `store`, closing the lock file.
    if (OsStatus s = store.lock->lock_exclusive(); !s.ok) {
      return with_description(kStateUnavailable, kPfxLockState, s.description);
    }
    OsStatus guards = store.lock->still_at_its_path();
    if (guards.ok) break;
    if (attempt == kLockAttempts - 1) return with_description(kStateUnavailable, kPfxLockState, guards.description);
    store.lock.reset();
  }

  OsResult<std::unique_ptr<ReadableFile>> opened =
      fs.open_to_read(fs.join(store.folder, kLedgerFileName), kMaxLedgerBytes);
  bool fresh = false;
  if (!opened.ok()) {
    const OsStatus& why = opened.error();
    if (why.failed_as(OsErrorKind::kTooLarge)) return make(kStateCorrupt, kMsgLedgerUnreadable);  // none of ours is
    if (!why.failed_as(OsErrorKind::kNotFound)) return with_description(kStateUnavailable, kPfxReadState, why.description);
    fresh = true;
  } else {
    // Read in pieces straight into records: the text is never held whole.
    OsStatus read_status;
    uint64_t total = 0;
    bool grew_too_large = false;
    const LedgerSource next = [&](char* data, size_t size) -> size_t {
      size_t got = 0;
      read_status = opened.value()->read(reinterpret_cast<uint8_t*>(data), size, got);
      total += got;
      if (!read_status.ok || total > kMaxLedgerBytes) {
        grew_too_large = read_status.ok;
        return 0;
      }
      return got;
    };
    // Memory that cannot be had here is answered by the host's start-up.
    std::optional<HostLedger> ledger = decode_ledger(next);
    opened.value().reset();
    if (!read_status.ok) return with_description(kStateUnavailable, kPfxReadState, read_status.description);
    if (grew_too_large || !ledger) return make(kStateCorrupt, kMsgLedgerUnreadable);
    if (ledger->schema != kLedgerSchema) return make(kStateVersion, kMsgStateVersion);
    store.ledger = std::move(*ledger);
  }

  const uint64_t now = now_ms(clock);
  if (fresh) {
    store.ledger = HostLedger{kLedgerSchema, now, {}};
  } else if (recover_and_prune(store.ledger, now)) {
    if (Status s = save_ledger(store); !s.ok()) return s.take_error();
  }
  return store;
}

Status check_state_guard(StateStore& store) {
  using namespace errors;
  if (!store.lost) {
    OsStatus s = store.lock->still_at_its_path();
    if (s.ok) return Status::Ok();
    store.lost = true;
  }
  return make(kStateUnavailable, kMsgStateMoved);
}

Status save_ledger(StateStore& store) {
  using namespace errors;
  if (Status s = check_state_guard(store); !s.ok()) return s;
  std::optional<std::string> bytes;
  try {
    bytes = encode_ledger(store.ledger);
  } catch (const std::bad_alloc&) {
    bytes.reset();  // no memory for the text: the save fails like any encoding failure
  }
  if (!bytes) return make(kStateUnavailable, kMsgCannotEncodeState);
  OsStatus s = write_file_atomically(*store.fs, store.fs->join(store.folder, kLedgerFileName), *bytes);
  if (!s.ok) return with_description(kStateUnavailable, kPfxSaveState, s.description);
  return Status::Ok();
}

}  // namespace tph
