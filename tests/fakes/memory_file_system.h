#pragma once
// An in-memory file system for tests, in the manner of a fault-injecting
// environment: it records every call, can fail a chosen operation on a chosen
// path, can "crash" (fail everything) after a number of operations, and can
// simulate a power cut that forgets every byte that was not flushed.
//
// Durability model: a file's content survives a power cut only as of its
// last sync(); replace() is durable for the name (the port's contract), but
// carries over only the durable content of the source.

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace tph::testing {

class MemoryFileSystem final : public FileSystem {
 public:
  enum class Op { kLocate, kCreateDir, kOpenLock, kLock, kRead, kOpenReplace, kWrite, kSync, kReplace, kOpenRandom, kStamp };

  MemoryFileSystem();

  // --- set-up
  std::string root = "/home/user/.local/state";
  // Fails `op` on every path containing `path_part` with error `code`.
  void fail(Op op, std::string path_part = "", uint32_t code = 5);
  void clear_failures() { failures_.clear(); }
  // From the n-th counted operation on (0-based), everything fails: the process died.
  void crash_after(int n) { crash_at_ = n; }
  // From the n-th time `op` is done on a path containing `path_part` on
  // (1-based), everything fails: the process died right there.
  void crash_at(Op op, std::string path_part, int nth = 1) { crash_rule_ = CrashRule{op, std::move(path_part), nth}; }
  // The n-th counted operation (0-based) fails, once; the rest go on.
  void fail_once_at(int n) { fail_once_at_ = n; }
  int operations() const { return ops_; }
  // Forgets everything that was not flushed, and revives the file system.
  // A file that only grew since its last flush may keep the first
  // `keep_unflushed` bytes of what was appended: an append torn by the cut.
  void power_cut(size_t keep_unflushed = 0);
  void put_file(const std::string& path, const std::string& bytes);  // durable at once
  void put_dir(const std::string& path) { dirs_.insert(path); }
  std::optional<std::string> file(const std::string& path) const;
  std::vector<std::string> list(const std::string& folder) const;  // names of files in a folder
  const std::vector<std::string>& log() const { return log_; }
  bool locked() const { return locked_ > 0; }
  // Deletes a file, as another process could; an open lock file keeps its
  // (now nameless) file, as on a real system.
  void remove(const std::string& path);
  // Each file made gets an identity of its own; 0 when nothing is there.
  uint64_t identity_of(const std::string& path) const;

  // --- FileSystem
  char separator() const override { return '/'; }
  std::optional<std::string> locate_user_state_root() override;
  OsStatus create_directories(const std::string& path) override;
  OsResult<std::unique_ptr<LockFile>> open_lock_file(const std::string& path) override;
  OsResult<std::unique_ptr<ReadableFile>> open_to_read(const std::string& path, size_t max_bytes) override;
  OsResult<std::unique_ptr<WritableFile>> open_for_replace(const std::string& path) override;
  OsStatus replace(const std::string& from, const std::string& to) override;
  OsResult<std::unique_ptr<RandomAccessFile>> open_random_access(const std::string& path, bool create) override;
  OsResult<FileStamp> stamp(const std::string& path) override;

  // Used by the file objects.
  OsStatus check(Op op, const std::string& path);
  std::map<std::string, std::string> current_;
  std::map<std::string, std::string> durable_;
  int locked_ = 0;
  // Marks a file's content as changed now, for its stamp.
  void touched(const std::string& path) { modified_[path] = ++clock_; }

 private:
  struct Failure {
    Op op;
    std::string path_part;
    uint32_t code;
  };
  struct CrashRule {
    Op op;
    std::string path_part;
    int remaining;
  };
  std::optional<CrashRule> crash_rule_;
  std::map<std::string, uint64_t> identity_;
  std::map<std::string, int64_t> modified_;
  int64_t clock_ = 0;
  uint64_t next_identity_ = 1;
  void made(const std::string& path) { identity_[path] = next_identity_++; }
  std::vector<Failure> failures_;
  std::set<std::string> dirs_;
  std::vector<std::string> log_;
  int ops_ = 0;
  int crash_at_ = -1;
  int fail_once_at_ = -1;
};

}  // namespace tph::testing
