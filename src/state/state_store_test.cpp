#include "state/state_store.h"

#include <gtest/gtest.h>

#include "fakes/fake_clock.h"
#include "fakes/memory_file_system.h"
#include "platform/system_error.h"
#include "state/atomic_file.h"
#include "state/ledger_json.h"
#include "state/ledger_recovery.h"
#include "support/error_catalogue.h"

namespace tph {
namespace {

using testing::FakeClock;
using testing::MemoryFileSystem;
using Op = MemoryFileSystem::Op;

const std::string kFolder = "/home/user/.local/state/com.tavelin.print";
const std::string kLedger = kFolder + "/ledger.json";
const std::string kTemp = kFolder + "/.ledger.json.tmp";

std::string ledger_with(JobState state, uint64_t updated, uint32_t schema = 1) {
  HostLedger l{schema, 1, {}};
  l.jobs["a"] = JobRecord{"a", "ff", state, "Q", "", updated, updated, "", ""};
  return encode_ledger(l).value();
}

TEST(OpenState, FirstRunCreatesFolderAndLockButNoLedger) {
  MemoryFileSystem fs;
  FakeClock clock(5000);
  Result<StateStore> s = open_state(fs, clock);
  ASSERT_TRUE(s.ok());
  EXPECT_EQ(s.value().folder, kFolder);
  EXPECT_TRUE(fs.file(kFolder + "/ledger.lock"));
  EXPECT_FALSE(fs.file(kLedger));
  EXPECT_EQ(s.value().ledger, (HostLedger{1, 5000, {}, {}}));
  EXPECT_TRUE(fs.locked());
}

TEST(OpenState, KeepsExistingLockFileContent) {
  MemoryFileSystem fs;
  FakeClock clock;
  fs.put_file(kFolder + "/ledger.lock", "junk");
  ASSERT_TRUE(open_state(fs, clock).ok());
  EXPECT_EQ(fs.file(kFolder + "/ledger.lock"), "junk");
}

TEST(OpenState, StartUpFailures) {
  struct Case {
    std::string name;
    std::function<void(MemoryFileSystem&)> setup;
    const char* code;
    std::string message;
  } cases[] = {
      {"no app data", [](auto& fs) { fs.fail(Op::kLocate); }, "STATE_UNAVAILABLE",
       "Cannot locate the current user's application-data directory."},
      {"folder", [](auto& fs) { fs.fail(Op::kCreateDir, "", 5); }, "STATE_UNAVAILABLE",
       "Cannot create print-helper state: " + describe_system_error(5)},
      {"file in the way", [](auto& fs) { fs.put_file(kFolder, "x"); }, "STATE_UNAVAILABLE",
       "Cannot create print-helper state: " + describe_system_error(17)},
      {"open lock", [](auto& fs) { fs.fail(Op::kOpenLock, "ledger.lock", 32); }, "STATE_UNAVAILABLE",
       "Cannot open print-helper lock: " + describe_system_error(32)},
      {"lock", [](auto& fs) { fs.fail(Op::kLock, "ledger.lock", 33); }, "STATE_UNAVAILABLE",
       "Cannot lock print-helper state: " + describe_system_error(33)},
      {"read", [](auto& fs) { fs.fail(Op::kRead, "ledger.json", 5); }, "STATE_UNAVAILABLE",
       "Cannot read print-helper state: " + describe_system_error(5)},
      {"corrupt", [](auto& fs) { fs.put_file(kLedger, "{"); }, "STATE_CORRUPT", "The print-helper ledger is unreadable."},
      {"empty", [](auto& fs) { fs.put_file(kLedger, ""); }, "STATE_CORRUPT", "The print-helper ledger is unreadable."},
      {"bom", [](auto& fs) { fs.put_file(kLedger, "\xef\xbb\xbf" + ledger_with(JobState::kFailed, 1)); }, "STATE_CORRUPT",
       "The print-helper ledger is unreadable."},
      {"unknown state", [](auto& fs) {
         std::string text = ledger_with(JobState::kFailed, 1);
         fs.put_file(kLedger, text.replace(text.find("FAILED"), 6, "failed"));
       }, "STATE_VERSION", "The print-helper state was created by an incompatible version."},
      {"schema 2", [](auto& fs) { fs.put_file(kLedger, ledger_with(JobState::kDispatching, 1, 2)); }, "STATE_VERSION",
       "The print-helper state was created by an incompatible version."},
      {"recovery save", [](auto& fs) {
         fs.put_file(kLedger, ledger_with(JobState::kDispatching, 1));
         fs.fail(Op::kReplace, "ledger.json", 5);
       }, "STATE_UNAVAILABLE", "Cannot save print-helper state: " + describe_system_error(5)},
  };
  for (const auto& c : cases) {
    MemoryFileSystem fs;
    FakeClock clock;
    c.setup(fs);
    const std::optional<std::string> before = fs.file(kLedger);
    Result<StateStore> s = open_state(fs, clock);
    ASSERT_FALSE(s.ok()) << c.name;
    EXPECT_STREQ(s.error().code_name(), c.code) << c.name;
    EXPECT_EQ(s.error().message, c.message) << c.name;
    EXPECT_FALSE(fs.locked()) << c.name << ": a failed start-up keeps no lock";
    if (std::string(c.code) != "STATE_UNAVAILABLE") {
      EXPECT_EQ(fs.file(kLedger), before) << c.name;
    }
  }
}

TEST(OpenState, SavesOnlyWhenRecoveryChangedSomething) {
  MemoryFileSystem fs;
  FakeClock clock(1'000'000);
  const std::string untouched = ledger_with(JobState::kFailed, 999'000);
  fs.put_file(kLedger, untouched);
  ASSERT_TRUE(open_state(fs, clock).ok());
  EXPECT_EQ(fs.file(kLedger), untouched);

  fs.put_file(kLedger, ledger_with(JobState::kDispatching, 999'000));
  Result<StateStore> s = open_state(fs, clock);
  ASSERT_TRUE(s.ok());
  Result<HostLedger> saved = decode_ledger(*fs.file(kLedger));
  ASSERT_TRUE(saved.ok());
  EXPECT_EQ(saved.value().jobs.at("a").state, JobState::kUnknown);
  EXPECT_EQ(saved.value().jobs.at("a").updated_at_ms, 1'000'000u);
  EXPECT_EQ(saved.value().updated_at_ms, 1'000'000u);
}

// Start-up prunes into the archive. A power cut at any step of it keeps
// every pruned attempt in the ledger, in the archive, or in both.
TEST(OpenState, APowerCutWhilePruningForgetsNoAttempt) {
  auto ledger_of = [](int count, uint64_t now) {
    HostLedger l{1, 1, {}};
    for (int i = 0; i < count; ++i) {
      const std::string id = "old-" + std::to_string(i);
      l.jobs[id] = JobRecord{id, std::string(64, 'a'), JobState::kCompleted, "Q", "1", now - 10 + i, now - 10 + i, "", ""};
    }
    return encode_ledger(l).value();
  };
  for (int step = 0;; ++step) {
    MemoryFileSystem fs;
    FakeClock clock(1'000'000'000'000ull);
    fs.put_file(kLedger, ledger_of(static_cast<int>(kRecordCap) + 3, clock.now_ms()));
    fs.crash_after(step);
    const bool started = open_state(fs, clock).ok();
    fs.power_cut();
    Result<StateStore> s = open_state(fs, clock);
    ASSERT_TRUE(s.ok()) << step;
    for (const char* id : {"old-0", "old-1", "old-2", "old-3"}) {
      Result<std::optional<JobRecord>> r = find_attempt(s.value(), id);
      ASSERT_TRUE(r.ok()) << step;
      EXPECT_TRUE(r.value()) << id << " forgotten after a power cut at step " << step;
    }
    EXPECT_EQ(s.value().ledger.jobs.size(), kRecordCap) << step;
    if (started) break;
  }
}

TEST(SaveLedger, ReplacesThroughAFlushedTemporaryFile) {
  MemoryFileSystem fs;
  FakeClock clock;
  Result<StateStore> s = open_state(fs, clock);
  ASSERT_TRUE(s.ok());
  ASSERT_TRUE(save_ledger(s.value()).ok());
  std::vector<std::string> tail(fs.log().end() - 5, fs.log().end());
  EXPECT_EQ(tail, (std::vector<std::string>{"open_replace " + kTemp, "write " + kTemp, "sync " + kTemp,
                                             "replace " + kTemp + " -> " + kLedger, "stamp " + kLedger}));
  EXPECT_EQ(fs.list(kFolder), (std::vector<std::string>{"ledger.json", "ledger.lock"}));
}

TEST(SaveLedger, FailuresKeepTheOldLedger) {
  for (Op op : {Op::kOpenReplace, Op::kWrite, Op::kSync, Op::kReplace}) {
    MemoryFileSystem fs;
    FakeClock clock;
    fs.put_file(kLedger, ledger_with(JobState::kFailed, clock.now_ms()));
    Result<StateStore> s = open_state(fs, clock);
    ASSERT_TRUE(s.ok());
    const std::string old = *fs.file(kLedger);
    s.value().ledger.jobs.clear();
    fs.fail(op, ".ledger.json", 28);
    Status saved = save_ledger(s.value());
    ASSERT_FALSE(saved.ok());
    EXPECT_STREQ(saved.error().code_name(), "STATE_UNAVAILABLE");
    EXPECT_EQ(saved.error().message, "Cannot save print-helper state: " + describe_system_error(28));
    EXPECT_EQ(fs.file(kLedger), old);
    if (op == Op::kReplace) {
      EXPECT_EQ(decode_ledger(*fs.file(kTemp)).value(), s.value().ledger) << "the temporary file keeps the new bytes";
    }
  }
}

// A lock file replaced, or the ledger deleted or rewritten by another
// program, while the host runs: the lock no longer guards the state at the
// path, and nothing more is saved.
TEST(SaveLedger, NothingIsSavedOnceTheLockNoLongerGuardsTheState) {
  for (const char* gone : {"/ledger.lock", "/ledger.json", "rewritten"}) {
    MemoryFileSystem fs;
    FakeClock clock;
    fs.put_file(kLedger, ledger_with(JobState::kFailed, clock.now_ms()));
    Result<StateStore> s = open_state(fs, clock);
    ASSERT_TRUE(s.ok());
    s.value().ledger.jobs.clear();
    const bool lock_gone = std::string_view(gone) == "/ledger.lock";
    if (std::string_view(gone) == "rewritten") {
      fs.put_file(kLedger, ledger_with(JobState::kCompleted, clock.now_ms()));  // another writer's save
    } else {
      fs.remove(kFolder + gone);
      if (lock_gone) fs.put_file(kFolder + gone, "");  // another host's new lock file
    }
    const std::optional<std::string> before = fs.file(kLedger);
    Status saved = save_ledger(s.value());
    ASSERT_FALSE(saved.ok()) << gone;
    EXPECT_TRUE(s.value().lost) << gone;
    EXPECT_EQ(saved.error().message, std::string(lock_gone ? errors::kMsgStateMoved : errors::kMsgLedgerChanged));
    EXPECT_EQ(fs.file(kLedger), before) << "nothing written over another writer's ledger";
  }
}

// Between messages the lock is let go; the next hold reads what another
// host left, repaired as start-up repairs it, and refuses a ledger that
// vanished or cannot be read.
TEST(HoldState, ReadsAnotherHostsLedgerAndStopsOnOneItCannotUse) {
  enum class Then { kNothing, kRewritten, kDiedDispatching, kDeleted, kCorrupt };
  for (Then then : {Then::kNothing, Then::kRewritten, Then::kDiedDispatching, Then::kDeleted, Then::kCorrupt}) {
    MemoryFileSystem fs;
    FakeClock clock;
    fs.put_file(kLedger, ledger_with(JobState::kFailed, clock.now_ms()));
    Result<StateStore> s = open_state(fs, clock);
    ASSERT_TRUE(s.ok());
    StateStore& store = s.value();
    release_state(store);
    EXPECT_FALSE(fs.locked()) << "the lock is let go between messages";
    switch (then) {
      case Then::kNothing: break;
      case Then::kRewritten: fs.put_file(kLedger, ledger_with(JobState::kCompleted, clock.now_ms())); break;
      case Then::kDiedDispatching: fs.put_file(kLedger, ledger_with(JobState::kDispatching, clock.now_ms())); break;
      case Then::kDeleted: fs.remove(kLedger); break;
      case Then::kCorrupt: fs.put_file(kLedger, "{not a ledger"); break;
    }
    Status held = hold_state(store, clock);
    EXPECT_TRUE(fs.locked());
    const bool usable = then != Then::kDeleted && then != Then::kCorrupt;
    EXPECT_EQ(held.ok(), usable) << static_cast<int>(then);
    EXPECT_EQ(store.lost, !usable);
    if (usable) {
      const JobState expected = then == Then::kRewritten         ? JobState::kCompleted
                                : then == Then::kDiedDispatching ? JobState::kUnknown
                                                                 : JobState::kFailed;
      ASSERT_EQ(store.ledger.jobs.size(), 1u);
      EXPECT_EQ(store.ledger.jobs.begin()->second.state, expected) << static_cast<int>(then);
      EXPECT_TRUE(save_ledger(store).ok()) << "the host writes over the ledger it read";
    }
    release_state(store);
    EXPECT_FALSE(fs.locked());
    if (!usable) EXPECT_FALSE(hold_state(store, clock).ok()) << "a lost store stays lost";
  }
}

TEST(AtomicFile, PathWithoutParent) {
  MemoryFileSystem fs;
  OsStatus s = write_file_atomically(fs, "ledger.json", "x");
  EXPECT_FALSE(s.ok());
  EXPECT_EQ(s.error().description, "path has no parent");
}

// A power cut at every step of a save leaves the old or the new ledger, never
// a mix, never nothing.
TEST(AtomicFile, PowerCutAtAnyStepLeavesOldOrNew) {
  HostLedger old_ledger{1, 1, {}};
  old_ledger.jobs["a"] = JobRecord{"a", "ff", JobState::kSubmitted, "Q", "1", 1, 1, "", ""};
  HostLedger new_ledger = old_ledger;
  for (int i = 0; i < 300; ++i) {
    std::string k = "n" + std::to_string(i);
    new_ledger.jobs[k] = JobRecord{k, std::string(64, 'b'), JobState::kFailed, "Q", "", 2, 2, "E", "message"};
  }
  int steps = 0;
  {
    MemoryFileSystem probe;
    probe.put_file(kLedger, encode_ledger(old_ledger).value());
    probe.put_dir(kFolder);
    ASSERT_TRUE(write_file_atomically(probe, kLedger, encode_ledger(new_ledger).value()).ok());
    steps = probe.operations();
  }
  bool saw_old = false, saw_new = false;
  for (int crash = 0; crash <= steps; ++crash) {
    MemoryFileSystem fs;
    fs.put_file(kLedger, encode_ledger(old_ledger).value());
    fs.put_dir(kFolder);
    fs.crash_after(crash);
    (void)write_file_atomically(fs, kLedger, encode_ledger(new_ledger).value());
    fs.power_cut();
    std::optional<std::string> after = fs.file(kLedger);
    ASSERT_TRUE(after) << "crash at step " << crash;
    Result<HostLedger> l = decode_ledger(*after);
    ASSERT_TRUE(l.ok()) << "torn ledger after a crash at step " << crash;
    EXPECT_TRUE(l.value() == old_ledger || l.value() == new_ledger);
    saw_old |= l.value() == old_ledger;
    saw_new |= l.value() == new_ledger;
  }
  EXPECT_TRUE(saw_old && saw_new);
}

}  // namespace
}  // namespace tph
