#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/file_system.h"
#include "platform/posix/fd_write.h"
#include "platform/system_error.h"

namespace tph {
namespace {

OsError errno_failure(int e) {
  return OsStatus::Fail(static_cast<uint32_t>(e), describe_system_error(static_cast<uint32_t>(e)),
                        e == ENOENT || e == ENOTDIR ? OsErrorKind::kNotFound
                        : e == ELOOP                ? OsErrorKind::kNotRegularFile  // a link where none may be
                                                    : OsErrorKind::kOther);
}

// A file descriptor that closes itself.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

class PosixLockFile final : public LockFile {
 public:
  PosixLockFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  OsStatus lock_exclusive() override {
    while (::flock(fd_.get(), LOCK_EX) != 0) {
      if (errno != EINTR) return errno_failure(errno);
    }
    return OsStatus::Ok();
  }
  void unlock() override { ::flock(fd_.get(), LOCK_UN); }
  OsStatus still_at_its_path() override {
    struct stat held {}, there {};
    if (::fstat(fd_.get(), &held) != 0) return errno_failure(errno);
    if (::lstat(path_.c_str(), &there) != 0 || held.st_nlink == 0 || held.st_dev != there.st_dev ||
        held.st_ino != there.st_ino) {
      return OsStatus::Fail(0, "the lock file at the state folder's path is not the one this helper holds");
    }
    return OsStatus::Ok();
  }

 private:
  Fd fd_;
  std::string path_;
};

class PosixReadableFile final : public ReadableFile {
 public:
  explicit PosixReadableFile(int fd) : fd_(fd) {}
  OsStatus read(uint8_t* data, size_t size, size_t& got) override {
    for (;;) {
      const ssize_t n = ::read(fd_.get(), data, size);
      if (n >= 0) {
        got = static_cast<size_t>(n);
        return OsStatus::Ok();
      }
      if (errno != EINTR) return errno_failure(errno);
    }
  }

 private:
  Fd fd_;
};

// Data and metadata on stable storage. fsync(2) promises that on Linux; on
// macOS it only reaches the drive's cache, and F_FULLFSYNC is what flushes
// it (a file system that refuses that falls back to fsync).
int durable_sync(int fd) {
#ifdef F_FULLFSYNC
  if (::fcntl(fd, F_FULLFSYNC) == 0) return 0;
#endif
  return ::fsync(fd);
}

class PosixWritableFile final : public WritableFile {
 public:
  explicit PosixWritableFile(int fd) : fd_(fd) {}
  OsStatus write_all(const uint8_t* data, size_t size) override {
    return posix::write_all_fd(fd_.get(), data, size);
  }
  OsStatus sync() override {
    if (durable_sync(fd_.get()) != 0) return errno_failure(errno);
    return OsStatus::Ok();
  }

 private:
  Fd fd_;
};

class PosixRandomAccessFile final : public RandomAccessFile {
 public:
  explicit PosixRandomAccessFile(int fd) : fd_(fd) {}
  OsResult<uint64_t> size() override {
    struct stat st {};
    if (::fstat(fd_.get(), &st) != 0) return errno_failure(errno);
    return static_cast<uint64_t>(st.st_size);
  }
  OsResult<size_t> read_at(uint64_t offset, uint8_t* data, size_t size) override {
    size_t done = 0;
    while (done < size) {
      const ssize_t n = ::pread(fd_.get(), data + done, size - done, static_cast<off_t>(offset + done));
      if (n == 0) break;
      if (n < 0) {
        if (errno == EINTR) continue;
        return errno_failure(errno);
      }
      done += static_cast<size_t>(n);
    }
    return done;
  }
  OsStatus write_at(uint64_t offset, const uint8_t* data, size_t size) override {
    size_t done = 0;
    while (done < size) {
      const ssize_t n = ::pwrite(fd_.get(), data + done, size - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return errno_failure(errno);
      if (n == 0) return OsStatus::Fail(0, "failed to write whole buffer");
      done += static_cast<size_t>(n);
    }
    return OsStatus::Ok();
  }
  OsStatus truncate(uint64_t size) override {
    if (::ftruncate(fd_.get(), static_cast<off_t>(size)) != 0) return errno_failure(errno);
    return OsStatus::Ok();
  }
  OsStatus sync() override {
    if (durable_sync(fd_.get()) != 0) return errno_failure(errno);
    return OsStatus::Ok();
  }

 private:
  Fd fd_;
};

std::string parent_of(const std::string& path) {
  size_t sep = path.rfind('/');
  if (sep == std::string::npos) return ".";
  return sep == 0 ? "/" : path.substr(0, sep);
}

std::string name_of(const std::string& path) {
  size_t sep = path.rfind('/');
  return sep == std::string::npos ? path : path.substr(sep + 1);
}

// A file named relative to an open folder, or to the working folder.
struct At {
  int dir;
  std::string name;
};

class PosixFileSystem final : public FileSystem {
 public:
  char separator() const override { return '/'; }

  // The XDG state directory: where per-user state that outlives a run belongs.
  std::optional<std::string> locate_user_state_root() override {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && state[0] == '/') return std::string(state);
    const char* home = std::getenv("HOME");
    if (!home || home[0] != '/') return std::nullopt;
    return std::string(home) + "/.local/state";
  }

  OsStatus create_directories(const std::string& path) override {
    if (::mkdir(path.c_str(), 0700) == 0) return OsStatus::Ok();
    int e = errno;
    if (e == ENOENT) {
      std::string parent = parent_of(path);
      if (parent != path) {
        if (OsStatus s = create_directories(parent); !s.ok()) return s.error();
        if (::mkdir(path.c_str(), 0700) == 0) return OsStatus::Ok();
        e = errno;
      }
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return OsStatus::Ok();
    return errno_failure(e);
  }

  // The lock's folder stays open for the rest of the run, and every file in
  // it is then read and replaced through that descriptor: should the folder
  // be moved, this host's writes follow the folder its lock belongs to.
  OsResult<std::unique_ptr<LockFile>> open_lock_file(const std::string& path) override {
    const std::string folder = parent_of(path);
    int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return errno_failure(errno);
    Fd dir_owner(dir);
    // Non-blocking, so that a FIFO planted there does not wait for a writer.
    Fd fd(::openat(dir, name_of(path).c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (fd.get() < 0) return errno_failure(errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return errno_failure(errno);
    if (!S_ISREG(st.st_mode)) return OsStatus::Fail(0, "not a regular file", OsErrorKind::kNotRegularFile);
    if (pinned_dir_ >= 0) ::close(pinned_dir_);
    pinned_dir_ = ::dup(dir);
    pinned_folder_ = pinned_dir_ >= 0 ? folder : std::string();
    return std::unique_ptr<LockFile>(std::make_unique<PosixLockFile>(::dup(fd.get()), path));
  }

  OsResult<std::unique_ptr<ReadableFile>> open_to_read(const std::string& path, size_t max_bytes) override {
    // Non-blocking, so that opening a FIFO planted there does not wait for a
    // writer; the type check below refuses it before any read.
    const At at = where(path);
    Fd fd(::openat(at.dir, at.name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) return errno_failure(errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return errno_failure(errno);
    if (!S_ISREG(st.st_mode)) return OsStatus::Fail(0, "not a regular file", OsErrorKind::kNotRegularFile);
    if (static_cast<uint64_t>(st.st_size) > max_bytes) {
      return OsStatus::Fail(0, "file too large", OsErrorKind::kTooLarge);
    }
    return std::unique_ptr<ReadableFile>(std::make_unique<PosixReadableFile>(::dup(fd.get())));
  }

  OsResult<std::unique_ptr<WritableFile>> open_for_replace(const std::string& path) override {
    const At at = where(path);
    if (::unlinkat(at.dir, at.name.c_str(), 0) != 0 && errno != ENOENT) return errno_failure(errno);
    int fd = ::openat(at.dir, at.name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return errno_failure(errno);
    return std::unique_ptr<WritableFile>(std::make_unique<PosixWritableFile>(fd));
  }

  // rename(2) is atomic; the folder's fsync makes the new name survive a power cut.
  OsStatus replace(const std::string& from, const std::string& to) override {
    const At source = where(from), target = where(to);
    if (::renameat(source.dir, source.name.c_str(), target.dir, target.name.c_str()) != 0) return errno_failure(errno);
    if (target.dir != AT_FDCWD) {
      if (durable_sync(target.dir) != 0) return errno_failure(errno);
      return OsStatus::Ok();
    }
    Fd dir(::open(parent_of(to).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0) return errno_failure(errno);
    if (durable_sync(dir.get()) != 0) return errno_failure(errno);
    return OsStatus::Ok();
  }

  OsResult<std::unique_ptr<RandomAccessFile>> open_random_access(const std::string& path, bool create) override {
    const At at = where(path);
    const int flags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (create ? O_CREAT : 0);
    Fd fd(::openat(at.dir, at.name.c_str(), flags, 0600));
    if (fd.get() < 0) return errno_failure(errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return errno_failure(errno);
    if (!S_ISREG(st.st_mode)) return OsStatus::Fail(0, "not a regular file", OsErrorKind::kNotRegularFile);
    return std::unique_ptr<RandomAccessFile>(std::make_unique<PosixRandomAccessFile>(::dup(fd.get())));
  }

  OsResult<FileStamp> stamp(const std::string& path) override {
    const At at = where(path);
    struct stat st {};
    if (::fstatat(at.dir, at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno_failure(errno);
    return FileStamp{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                     static_cast<uint64_t>(st.st_size),
                     static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
  }

 private:
  At where(const std::string& path) const {
    if (pinned_dir_ >= 0 && parent_of(path) == pinned_folder_) return {pinned_dir_, name_of(path)};
    return {AT_FDCWD, path};
  }

  int pinned_dir_ = -1;  // the lock's folder, open for the rest of the run
  std::string pinned_folder_;
};

}  // namespace

FileSystem& system_file_system() {
  static PosixFileSystem fs;
  return fs;
}

}  // namespace tph
