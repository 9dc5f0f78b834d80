#pragma once
// The archive of attempts the ledger no longer holds. ledger.json keeps the
// recent records only (start-up prunes it to its window and cap); every
// record it drops is appended here first, so an intent printed long ago is
// still answered as a duplicate rather than printed again.
//
// archive.log only grows: records are appended and flushed before the
// ledger that no longer holds them is saved, so a crash leaves a record in
// the ledger, in the archive, or in both, never in neither. A record cut
// short at the log's end by a crash is cut off before the next append.
// archive.idx is a sorted index of the log up to some offset, rewritten
// whole (atomically) when the part after it grows past kIndexTailBytes; it
// can always be rebuilt from the log, and a lookup reads the log's part
// after it directly. A lookup costs a binary search of the index and a read
// of at most kIndexTailBytes of log, whatever the archive's size.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"
#include "state/archive_format.h"
#include "state/ledger.h"
#include "support/host_error.h"

namespace tph {

inline constexpr const char* kArchiveLogFileName = "archive.log";
inline constexpr const char* kArchiveIndexFileName = "archive.idx";

// The part of the log after the index that makes the index be rewritten.
inline constexpr uint64_t kIndexTailBytes = 256 * 1024;

class AttemptArchive {
 public:
  AttemptArchive(FileSystem& fs, std::string folder);

  // The latest archived record of the intent, or nothing when the archive
  // never held it. A damaged archive or a failed read is an error: the
  // caller then cannot tell that the intent is new.
  [[nodiscard]] Result<std::optional<JobRecord>> find(std::string_view intent_id);

  // Appends the records; they are on the disk when this succeeds.
  [[nodiscard]] Status add(const std::vector<JobRecord>& records);

  // The latest record of every archived intent that starts with `prefix`
  // and that `skip` does not name, newest first (then by intent), at most
  // `limit` of them; `matched` counts them all.
  struct Matches {
    std::vector<JobRecord> records;
    size_t matched = 0;
  };
  [[nodiscard]] Result<Matches> with_prefix(std::string_view prefix, size_t limit,
                                            const std::function<bool(std::string_view)>& skip);

 // The index as far as it can be trusted: its header, when the file is one
  // this host wrote whole and it covers no more than the log holds.
  struct Index {
    std::unique_ptr<RandomAccessFile> file;
    archive::IndexHeader header;
  };

 private:
  // Writes the index anew over the log's first `covered` bytes: the old
  // index's entries and the `tail`'s, merged.
  Status rewrite_index(const Index& index, std::vector<archive::IndexEntry> tail, uint64_t covered);
  std::string log_path() const;
  std::string index_path() const;

  FileSystem& fs_;
  std::string folder_;
};

}  // namespace tph
