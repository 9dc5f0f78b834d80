#include "state/state_store.h"

#include <new>

#include "support/error_catalogue.h"
#include "state/attempt_archive.h"
#include "state/atomic_file.h"
#include "state/ledger_json.h"
#include "state/ledger_recovery.h"
#include "platform/clock.h"

namespace tph {
namespace {

// Each retry follows a lock file replaced between our open and our lock;
// only a path that keeps changing under us uses them all up.
constexpr int kLockAttempts = 100;

// The stamp of ledger.json now: nothing when there is none.
OsResult<std::optional<FileStamp>> ledger_stamp_now(StateStore& store) {
  OsResult<FileStamp> now = store.fs->stamp(store.fs->join(store.folder, kLedgerFileName));
  if (now.ok()) return std::optional<FileStamp>(now.value());
  if (now.error().failed_as(OsErrorKind::kNotFound)) return std::optional<FileStamp>();
  return now.take_error();
}

// Opens ledger.lock at the folder's path and locks it. The lock counts only
// if, once held, the file at the path is still the one locked: a host that
// exited may have had its lock file deleted meanwhile, and another may have
// made a new one. Then lock that one.
Status lock_at_path(StateStore& store) {
  using namespace errors;
  FileSystem& fs = *store.fs;
  for (int attempt = 0;; ++attempt) {
    if (!store.lock) {
      OsResult<std::unique_ptr<LockFile>> lock = fs.open_lock_file(fs.join(store.folder, kLockFileName));
      if (!lock.ok()) return with_description(kStateUnavailable, kPfxOpenLock, lock.error().description);
      store.lock = std::move(lock.value());
    }
    if (OsStatus s = store.lock->lock_exclusive(); !s.ok()) {
      store.lock.reset();
      return with_description(kStateUnavailable, kPfxLockState, s.error().description);
    }
    OsStatus guards = store.lock->still_at_its_path();
    if (guards.ok()) return Status::Ok();
    store.lock.reset();  // closing it lets the stale lock go
    if (attempt == kLockAttempts - 1) return with_description(kStateUnavailable, kPfxLockState, guards.error().description);
  }
}

// Reads ledger.json into the store and repairs it as start-up does: attempts
// a host left DISPATCHING when it died become UNKNOWN (a living host never
// lets the lock go with one in that state), old records are archived.
// `fresh` is set when there was no file.
Status load_ledger(StateStore& store, uint64_t now, bool& fresh) {
  using namespace errors;
  FileSystem& fs = *store.fs;
  fresh = false;
  // The ledger's stamp before it is read and after: a file replaced while
  // it was read is not the one whose content this host holds.
  OsResult<std::optional<FileStamp>> stamp_before = ledger_stamp_now(store);
  if (!stamp_before.ok()) return with_description(kStateUnavailable, kPfxReadState, stamp_before.error().description);
  OsResult<std::unique_ptr<ReadableFile>> opened =
      fs.open_to_read(fs.join(store.folder, kLedgerFileName), kMaxLedgerBytes);
  HostLedger loaded;
  if (!opened.ok()) {
    const OsError& why = opened.error();
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
      if (!read_status.ok() || total > kMaxLedgerBytes) {
        grew_too_large = read_status.ok();
        return 0;
      }
      return got;
    };
    // Memory that cannot be had here is answered by the host's start-up.
    Result<HostLedger> ledger = decode_ledger(next);
    opened.value().reset();
    if (!read_status.ok()) return with_description(kStateUnavailable, kPfxReadState, read_status.error().description);
    if (grew_too_large) return make(kStateCorrupt, kMsgLedgerUnreadable);
    if (!ledger.ok()) return ledger.take_error();
    if (ledger.value().schema != kLedgerSchema) return make(kStateVersion, kMsgStateVersion);
    loaded = std::move(ledger.value());
  }

  OsResult<std::optional<FileStamp>> stamp = ledger_stamp_now(store);
  if (!stamp.ok()) return with_description(kStateUnavailable, kPfxReadState, stamp.error().description);
  if (stamp.value() != stamp_before.value()) return make(kStateUnavailable, kMsgLedgerChanged);
  store.ledger_stamp = stamp.value();
  store.ledger = fresh ? HostLedger{kLedgerSchema, now, {}, {}} : std::move(loaded);
  if (fresh) return Status::Ok();
  return repair_and_archive(store, now);
}

}  // namespace

Result<StateStore> open_state(FileSystem& fs, Clock& clock) {
  using namespace errors;
  const std::optional<std::string> root = fs.locate_user_state_root();
  if (!root) return make(kStateUnavailable, kMsgNoAppData);

  StateStore store;
  store.fs = &fs;
  store.folder = fs.join(*root, kStateFolderName);
  if (OsStatus s = fs.create_directories(store.folder); !s.ok()) {
    return with_description(kStateUnavailable, kPfxCreateState, s.error().description);
  }
  // From here on every early return destroys `store`, closing the lock file.
  if (Status s = lock_at_path(store); !s.ok()) return s.take_error();
  store.held = true;
  bool fresh = false;
  if (Status s = load_ledger(store, now_ms(clock), fresh); !s.ok()) return s.take_error();
  return store;
}

Status hold_state(StateStore& store, Clock& clock) {
  using namespace errors;
  if (store.held) return Status::Ok();
  if (store.lost) return make(kStateUnavailable, store.lost_because);
  if (Status s = lock_at_path(store); !s.ok()) return s;
  store.held = true;
  OsResult<std::optional<FileStamp>> now = ledger_stamp_now(store);
  if (now.ok() && now.value() == store.ledger_stamp) return Status::Ok();
  // Another host saved since this one last did. A ledger that vanished was
  // not another host's doing (none deletes it): starting afresh would forget
  // every attempt, so the host stops instead.
  if (!now.ok() || !now.value()) {
    store.lost = true;
    store.lost_because = kMsgLedgerChanged;
    return make(kStateUnavailable, store.lost_because);
  }
  bool fresh = false;
  if (Status s = load_ledger(store, now_ms(clock), fresh); !s.ok()) {
    store.lost = true;
    store.lost_because = std::string(kMsgLedgerUnreadableNow) + " (" + s.error().message + ")";
    return s;
  }
  return Status::Ok();
}

void release_state(StateStore& store) {
  if (!store.held) return;
  store.held = false;
  if (store.lock) store.lock->unlock();
}

Status repair_and_archive(StateStore& store, uint64_t now) {
  Repair repair = recover_and_prune(store.ledger, now);
  if (!repair) return Status::Ok();
  if (!repair.pruned.empty()) {
    if (Status s = check_state_guard(store); !s.ok()) return s.error();
    AttemptArchive archive(*store.fs, store.folder);
    if (Status s = archive.add(repair.pruned); !s.ok()) {
      // Not archived: the ledger keeps them, so nothing is forgotten.
      for (JobRecord& r : repair.pruned) {
        std::string key = r.intent_id;
        store.ledger.jobs.emplace(std::move(key), std::move(r));
      }
      return s;
    }
  }
  return save_ledger(store);
}

Result<std::optional<JobRecord>> find_attempt(StateStore& store, const std::string& intent_id) {
  if (auto it = store.ledger.jobs.find(intent_id); it != store.ledger.jobs.end()) {
    return std::optional<JobRecord>(it->second);
  }
  return AttemptArchive(*store.fs, store.folder).find(intent_id);
}

Status check_state_guard(StateStore& store) {
  using namespace errors;
  if (!store.lost) {
    if (OsStatus s = store.lock->still_at_its_path(); !s.ok()) {
      store.lost = true;
      store.lost_because = kMsgStateMoved;
    } else if (OsResult<std::optional<FileStamp>> now = ledger_stamp_now(store);
               !now.ok() || now.value() != store.ledger_stamp) {
      store.lost = true;
      store.lost_because = kMsgLedgerChanged;
    } else {
      return Status::Ok();
    }
  }
  return make(kStateUnavailable, store.lost_because);
}

Status save_ledger(StateStore& store) {
  using namespace errors;
  if (Status s = check_state_guard(store); !s.ok()) return s.error();
  std::optional<Result<std::string>> bytes;
  try {
    bytes.emplace(encode_ledger(store.ledger));
  } catch (const std::bad_alloc&) {
    // no memory for the text: the save fails like any encoding failure
    bytes.emplace(make(kStateUnavailable, kMsgCannotEncodeState));
  }
  if (!bytes->ok()) return bytes->take_error();
  OsStatus s = write_file_atomically(*store.fs, store.fs->join(store.folder, kLedgerFileName), bytes->value());
  // Whatever the outcome, the file at the path may be new: the version to
  // expect from now on is the one there now. One that cannot be read is
  // never expected, so the next check stops the host.
  OsResult<std::optional<FileStamp>> now = ledger_stamp_now(store);
  store.ledger_stamp = now.ok() ? now.value() : std::optional<FileStamp>(FileStamp{~0ull, ~0ull, ~0ull, -1});
  if (!s.ok()) return with_description(kStateUnavailable, kPfxSaveState, s.error().description);
  return Status::Ok();
}

}  // namespace tph
