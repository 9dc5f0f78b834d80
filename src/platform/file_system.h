#pragma once
// The files the durable state needs, and nothing more. Paths are UTF-8 text;
// the separator is the platform's.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/os_status.h"

namespace tph {

// An open lock file. Closing it (destruction) releases any lock it holds.
class LockFile {
 public:
  virtual ~LockFile() = default;
  // Takes an exclusive lock on the whole file, waiting without limit.
  virtual OsStatus lock_exclusive() = 0;
  // Lets the lock go; the file stays open for the next lock_exclusive.
  virtual void unlock() = 0;
  // Ok while the file now at the path this lock was opened from is the very
  // file this lock holds. A lock file deleted or replaced, or a state folder
  // moved or renamed, fails: another host could then lock a new file at the
  // path and print the same attempts again.
  virtual OsStatus still_at_its_path() = 0;
};

// A file opened for writing, truncated to zero length. Destruction closes it.
class WritableFile {
 public:
  virtual ~WritableFile() = default;
  // Writes all bytes at the current position. A write that accepts no bytes
  // fails with "failed to write whole buffer".
  virtual OsStatus write_all(const uint8_t* data, size_t size) = 0;
  // Flushes the file's content to the disk.
  virtual OsStatus sync() = 0;
};

// A regular file opened for reading. Destruction closes it.
class ReadableFile {
 public:
  virtual ~ReadableFile() = default;
  // Reads up to `size` bytes at the current position; `got` is 0 at the end.
  virtual OsStatus read(uint8_t* data, size_t size, size_t& got) = 0;
};

// A regular file read and written at chosen offsets, for files that only
// grow at their end. Destruction closes it.
class RandomAccessFile {
 public:
  virtual ~RandomAccessFile() = default;
  virtual OsResult<uint64_t> size() = 0;
  // Reads up to `size` bytes at `offset`: fewer only where the file ends.
  virtual OsResult<size_t> read_at(uint64_t offset, uint8_t* data, size_t size) = 0;
  // Writes all bytes at `offset`, growing the file as needed.
  virtual OsStatus write_at(uint64_t offset, const uint8_t* data, size_t size) = 0;
  // Cuts the file to `size` bytes.
  virtual OsStatus truncate(uint64_t size) = 0;
  // Flushes the file's content to the disk.
  virtual OsStatus sync() = 0;
};

// What tells one version of a file from another: the file (volume and file
// id, which a replacement changes), its size and its last write. Equal stamps
// at two moments mean nobody replaced or rewrote the file in between.
struct FileStamp {
  uint64_t volume = 0;
  uint64_t file_id = 0;
  uint64_t size = 0;
  int64_t modified = 0;  // in the platform's own units
  friend bool operator==(const FileStamp&, const FileStamp&) = default;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  virtual char separator() const = 0;
  // The user's local application-data folder (Windows) or state folder
  // (XDG_STATE_HOME, else ~/.local/state); nothing when there is none.
  virtual std::optional<std::string> locate_user_state_root() = 0;
  // Creates the folder and every missing ancestor. An existing folder is
  // success; an existing component that is not a folder is a failure.
  virtual OsStatus create_directories(const std::string& path) = 0;
  // Opens the lock file for reading and writing, creating it empty if missing,
  // never truncating it, never following a link; anything but a regular file
  // there fails. Where the platform can, later reads and replacements of
  // files in the lock's folder go through that folder as it was opened, not
  // through its path again.
  virtual OsResult<std::unique_ptr<LockFile>> open_lock_file(const std::string& path) = 0;
  // Opens a regular file of at most `max_bytes` bytes for reading, so that
  // it can be read in pieces. Anything else there (a folder, a pipe, a
  // device) fails at once, without a read that could block or never end. A
  // file may still grow after it was opened: readers count what they read.
  // Fails as kNotFound when the file or its folder does not exist,
  // kNotRegularFile when something else is there, kTooLarge over the limit.
  virtual OsResult<std::unique_ptr<ReadableFile>> open_to_read(const std::string& path, size_t max_bytes) = 0;
  // Creates a new file for writing, sharing it so that it can be renamed
  // while open. Whatever was at the path before (a stale file, or a link
  // planted there) is removed first, never followed or written through.
  virtual OsResult<std::unique_ptr<WritableFile>> open_for_replace(const std::string& path) = 0;
  // Moves `from` over `to` in one step, durably: once this returns, a power
  // cut leaves `to` with the new content.
  virtual OsStatus replace(const std::string& from, const std::string& to) = 0;
  // Opens a regular file for reading and writing at offsets, never following
  // a link. `create` makes a missing file, empty; without it a missing file
  // fails as kNotFound. Anything but a regular file fails as kNotRegularFile.
  virtual OsResult<std::unique_ptr<RandomAccessFile>> open_random_access(const std::string& path, bool create) = 0;
  // The stamp of the file at the path, not following a link; kNotFound when
  // nothing is there.
  virtual OsResult<FileStamp> stamp(const std::string& path) = 0;

  std::string join(std::string_view folder, std::string_view name) const {
    std::string p(folder);
    p += separator();
    p += name;
    return p;
  }
};

// The real file system of this platform.
FileSystem& system_file_system();

}  // namespace tph
