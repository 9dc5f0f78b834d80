#include "fakes/memory_file_system.h"

#include <algorithm>
#include <cstring>

#include "platform/system_error.h"

namespace tph::testing {
namespace {

const char* op_name(MemoryFileSystem::Op op) {
  switch (op) {
    case MemoryFileSystem::Op::kLocate: return "locate";
    case MemoryFileSystem::Op::kCreateDir: return "mkdir";
    case MemoryFileSystem::Op::kOpenLock: return "open_lock";
    case MemoryFileSystem::Op::kLock: return "lock";
    case MemoryFileSystem::Op::kRead: return "read";
    case MemoryFileSystem::Op::kOpenReplace: return "open_replace";
    case MemoryFileSystem::Op::kWrite: return "write";
    case MemoryFileSystem::Op::kSync: return "sync";
    case MemoryFileSystem::Op::kReplace: return "replace";
    case MemoryFileSystem::Op::kOpenRandom: return "open_random";
    case MemoryFileSystem::Op::kStamp: return "stamp";
  }
  return "?";
}

std::string parent_of(const std::string& path) {
  size_t sep = path.rfind('/');
  return sep == std::string::npos || sep == 0 ? "/" : path.substr(0, sep);
}

class MemoryLockFile final : public LockFile {
 public:
  MemoryLockFile(MemoryFileSystem& fs, std::string path)
      : fs_(fs), path_(std::move(path)), identity_(fs_.identity_of(path_)) {}
  ~MemoryLockFile() override {
    if (held_) --fs_.locked_;
  }
  OsStatus lock_exclusive() override {
    OsStatus s = fs_.check(MemoryFileSystem::Op::kLock, path_);
    if (s.ok()) {
      held_ = true;
      ++fs_.locked_;
    }
    return s;
  }
  void unlock() override {
    if (held_) --fs_.locked_;
    held_ = false;
  }
  OsStatus still_at_its_path() override {
    if (fs_.identity_of(path_) != identity_) {
      return OsStatus::Fail(0, "the lock file at the state folder's path is not the one this helper holds");
    }
    return OsStatus::Ok();
  }

 private:
  MemoryFileSystem& fs_;
  std::string path_;
  uint64_t identity_;
  bool held_ = false;
};

class MemoryWritableFile final : public WritableFile {
 public:
  MemoryWritableFile(MemoryFileSystem& fs, std::string path) : fs_(fs), path_(std::move(path)) {}
  OsStatus write_all(const uint8_t* data, size_t size) override {
    OsStatus s = fs_.check(MemoryFileSystem::Op::kWrite, path_);
    // A write cut short by a crash leaves half of its bytes behind.
    size_t n = s.ok() ? size : size / 2;
    if (auto it = fs_.current_.find(path_); it != fs_.current_.end()) {
      it->second.append(reinterpret_cast<const char*>(data), n);
      fs_.touched(path_);
    }
    return s;
  }
  OsStatus sync() override {
    OsStatus s = fs_.check(MemoryFileSystem::Op::kSync, path_);
    if (s.ok()) {
      if (auto it = fs_.current_.find(path_); it != fs_.current_.end()) fs_.durable_[path_] = it->second;
    }
    return s;
  }

 private:
  MemoryFileSystem& fs_;
  std::string path_;
};

// Reads and writes the file's current content in place; sync makes it durable.
class MemoryRandomAccessFile final : public RandomAccessFile {
 public:
  MemoryRandomAccessFile(MemoryFileSystem& fs, std::string path) : fs_(fs), path_(std::move(path)) {}
  OsResult<uint64_t> size() override { return static_cast<uint64_t>(content().size()); }
  OsResult<size_t> read_at(uint64_t offset, uint8_t* data, size_t size) override {
    if (OsStatus s = fs_.check(MemoryFileSystem::Op::kRead, path_); !s.ok()) return s.error();
    const std::string& bytes = content();
    if (offset >= bytes.size()) return size_t{0};
    const size_t n = std::min<size_t>(size, bytes.size() - offset);
    std::memcpy(data, bytes.data() + offset, n);
    return n;
  }
  OsStatus write_at(uint64_t offset, const uint8_t* data, size_t size) override {
    OsStatus s = fs_.check(MemoryFileSystem::Op::kWrite, path_);
    // A write cut short by a crash leaves half of its bytes behind.
    const size_t n = s.ok() ? size : size / 2;
    std::string& bytes = content();
    if (bytes.size() < offset + n) bytes.resize(offset + n);
    std::memcpy(bytes.data() + offset, data, n);
    fs_.touched(path_);
    return s;
  }
  OsStatus truncate(uint64_t size) override {
    if (OsStatus s = fs_.check(MemoryFileSystem::Op::kWrite, path_); !s.ok()) return s.error();
    content().resize(size);
    fs_.touched(path_);
    return OsStatus::Ok();
  }
  OsStatus sync() override {
    OsStatus s = fs_.check(MemoryFileSystem::Op::kSync, path_);
    if (s.ok()) fs_.durable_[path_] = content();
    return s;
  }

 private:
  std::string& content() { return fs_.current_[path_]; }
  MemoryFileSystem& fs_;
  std::string path_;
};

}  // namespace

OsResult<std::unique_ptr<RandomAccessFile>> MemoryFileSystem::open_random_access(const std::string& path, bool create) {
  if (OsStatus s = check(Op::kOpenRandom, path); !s.ok()) return s.error();
  if (!current_.count(path)) {
    if (!create || !dirs_.count(parent_of(path))) {
      return OsStatus::Fail(2, describe_system_error(2), OsErrorKind::kNotFound);
    }
    current_[path];
    made(path);
  }
  return std::unique_ptr<RandomAccessFile>(std::make_unique<MemoryRandomAccessFile>(*this, path));
}

OsResult<FileStamp> MemoryFileSystem::stamp(const std::string& path) {
  if (OsStatus s = check(Op::kStamp, path); !s.ok()) return s.error();
  auto it = current_.find(path);
  if (it == current_.end()) return OsStatus::Fail(2, describe_system_error(2), OsErrorKind::kNotFound);
  return FileStamp{0, identity_of(path), it->second.size(), modified_[path]};
}

MemoryFileSystem::MemoryFileSystem() { dirs_.insert("/"); }

void MemoryFileSystem::fail(Op op, std::string path_part, uint32_t code) {
  failures_.push_back({op, std::move(path_part), code});
}

OsStatus MemoryFileSystem::check(Op op, const std::string& path) {
  log_.push_back(std::string(op_name(op)) + " " + path);
  const int index = ops_++;
  if (crash_rule_ && crash_rule_->op == op && path.find(crash_rule_->path_part) != std::string::npos &&
      --crash_rule_->remaining == 0) {
    crash_at_ = index;
    crash_rule_.reset();
  }
  if (crash_at_ >= 0 && index >= crash_at_) return OsStatus::Fail(5, describe_system_error(5));
  if (index == fail_once_at_) return OsStatus::Fail(5, describe_system_error(5));
  for (const Failure& f : failures_) {
    if (f.op == op && path.find(f.path_part) != std::string::npos) {
      return OsStatus::Fail(f.code, describe_system_error(f.code), f.code == 2 ? OsErrorKind::kNotFound : OsErrorKind::kOther);
    }
  }
  return OsStatus::Ok();
}

void MemoryFileSystem::power_cut(size_t keep_unflushed) {
  for (auto& [path, bytes] : durable_) {
    auto now = current_.find(path);
    if (now == current_.end() || now->second.size() <= bytes.size() || now->second.compare(0, bytes.size(), bytes) != 0) {
      continue;
    }
    bytes = now->second.substr(0, bytes.size() + std::min(keep_unflushed, now->second.size() - bytes.size()));
  }
  current_ = durable_;
  crash_at_ = -1;
  locked_ = 0;
}

void MemoryFileSystem::put_file(const std::string& path, const std::string& bytes) {
  current_[path] = bytes;
  durable_[path] = bytes;
  made(path);
  touched(path);
}

void MemoryFileSystem::remove(const std::string& path) {
  current_.erase(path);
  durable_.erase(path);
  identity_.erase(path);
}

uint64_t MemoryFileSystem::identity_of(const std::string& path) const {
  auto it = identity_.find(path);
  return it == identity_.end() || !current_.count(path) ? 0 : it->second;
}

std::optional<std::string> MemoryFileSystem::file(const std::string& path) const {
  auto it = current_.find(path);
  if (it == current_.end()) return std::nullopt;
  return it->second;
}

std::vector<std::string> MemoryFileSystem::list(const std::string& folder) const {
  std::vector<std::string> names;
  for (const auto& [path, bytes] : current_) {
    if (parent_of(path) == folder) names.push_back(path.substr(folder.size() + 1));
  }
  return names;
}

std::optional<std::string> MemoryFileSystem::locate_user_state_root() {
  if (!check(Op::kLocate, root).ok()) return std::nullopt;
  return root;
}

OsStatus MemoryFileSystem::create_directories(const std::string& path) {
  if (OsStatus s = check(Op::kCreateDir, path); !s.ok()) return s.error();
  if (current_.count(path)) return OsStatus::Fail(17, describe_system_error(17));  // a file is in the way
  for (std::string p = path; p != "/"; p = parent_of(p)) {
    if (current_.count(p)) return OsStatus::Fail(20, describe_system_error(20));
    dirs_.insert(p);
  }
  return OsStatus::Ok();
}

OsResult<std::unique_ptr<LockFile>> MemoryFileSystem::open_lock_file(const std::string& path) {
  if (OsStatus s = check(Op::kOpenLock, path); !s.ok()) return s.error();
  if (!current_.count(path)) put_file(path, "");
  return std::unique_ptr<LockFile>(std::make_unique<MemoryLockFile>(*this, path));
}

// Reads a copy of the content as it was when opened.
class MemoryReadableFile final : public ReadableFile {
 public:
  explicit MemoryReadableFile(std::string bytes) : bytes_(std::move(bytes)) {}
  OsStatus read(uint8_t* data, size_t size, size_t& got) override {
    got = std::min(size, bytes_.size() - pos_);
    std::memcpy(data, bytes_.data() + pos_, got);
    pos_ += got;
    return OsStatus::Ok();
  }

 private:
  std::string bytes_;
  size_t pos_ = 0;
};

OsResult<std::unique_ptr<ReadableFile>> MemoryFileSystem::open_to_read(const std::string& path, size_t max_bytes) {
  if (OsStatus s = check(Op::kRead, path); !s.ok()) return s.error();
  auto it = current_.find(path);
  if (it == current_.end()) return OsStatus::Fail(2, describe_system_error(2), OsErrorKind::kNotFound);
  if (it->second.size() > max_bytes) return OsStatus::Fail(0, "file too large", OsErrorKind::kTooLarge);
  return std::unique_ptr<ReadableFile>(std::make_unique<MemoryReadableFile>(it->second));
}

OsResult<std::unique_ptr<WritableFile>> MemoryFileSystem::open_for_replace(const std::string& path) {
  if (OsStatus s = check(Op::kOpenReplace, path); !s.ok()) return s.error();
  if (!dirs_.count(parent_of(path))) return OsStatus::Fail(2, describe_system_error(2), OsErrorKind::kNotFound);
  current_[path].clear();
  made(path);  // whatever was there is gone; this is a new file
  return std::unique_ptr<WritableFile>(std::make_unique<MemoryWritableFile>(*this, path));
}

OsStatus MemoryFileSystem::replace(const std::string& from, const std::string& to) {
  if (OsStatus s = check(Op::kReplace, from + " -> " + to); !s.ok()) return s.error();
  auto it = current_.find(from);
  if (it == current_.end()) return OsStatus::Fail(2, describe_system_error(2), OsErrorKind::kNotFound);
  current_[to] = it->second;
  current_.erase(it);
  identity_[to] = identity_[from];
  identity_.erase(from);
  modified_[to] = modified_[from];
  auto d = durable_.find(from);
  durable_[to] = d == durable_.end() ? std::string() : d->second;
  if (d != durable_.end()) durable_.erase(d);
  return OsStatus::Ok();
}

}  // namespace tph::testing
