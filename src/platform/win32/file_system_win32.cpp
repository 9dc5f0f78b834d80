#include <windows.h>
#include <shlobj.h>
#include <knownfolders.h>

#include "platform/file_system.h"
#include "platform/system_error.h"
#include "platform/win32/handle_write.h"
#include "platform/win32/last_error.h"
#include "platform/win32/win_handles.h"
#include "support/text_conversion.h"

namespace tph {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;  // 7

OsError last_failure() { return win::last_error_status(); }

// A file's identity: the volume it is on and its index there.
struct FileIdentity {
  DWORD volume = 0, high = 0, low = 0;
  bool operator==(const FileIdentity& o) const { return volume == o.volume && high == o.high && low == o.low; }
};

OsResult<FileIdentity> identity_of(HANDLE h) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h, &info)) return win::last_error_status();
  return FileIdentity{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
}

class Win32LockFile final : public LockFile {
 public:
  Win32LockFile(win::FileHandle h, std::u16string path) : h_(std::move(h)), path_(std::move(path)) {}
  OsStatus lock_exclusive() override {
    OVERLAPPED ov{};
    if (!LockFileEx(h_.get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 0xFFFFFFFF, 0xFFFFFFFF, &ov)) return last_failure();
    return OsStatus::Ok();
  }
  void unlock() override {
    OVERLAPPED ov{};
    UnlockFileEx(h_.get(), 0, 0xFFFFFFFF, 0xFFFFFFFF, &ov);
  }
  OsStatus still_at_its_path() override {
    // Opened for no access at all, so that no lock or sharing mode stands in
    // the way; a link at the path is looked at, not followed.
    win::FileHandle now(CreateFileW(win::wide(path_), 0, kShareAll, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    OsResult<FileIdentity> held = identity_of(h_.get());
    if (!held.ok()) return held.error();
    OsResult<FileIdentity> there = now ? identity_of(now.get()) : OsResult<FileIdentity>(OsStatus::Fail(0, ""));
    if (!there.ok() || !(held.value() == there.value())) {
      return OsStatus::Fail(0, "the lock file at the state folder's path is not the one this helper holds");
    }
    return OsStatus::Ok();
  }

 private:
  win::FileHandle h_;
  std::u16string path_;
};

class Win32ReadableFile final : public ReadableFile {
 public:
  explicit Win32ReadableFile(win::FileHandle h) : h_(std::move(h)) {}
  OsStatus read(uint8_t* data, size_t size, size_t& got) override {
    DWORD n = 0;
    const DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    if (!ReadFile(h_.get(), data, chunk, &n, nullptr)) return last_failure();
    got = n;
    return OsStatus::Ok();
  }

 private:
  win::FileHandle h_;
};

class Win32WritableFile final : public WritableFile {
 public:
  explicit Win32WritableFile(win::FileHandle h) : h_(std::move(h)) {}
  OsStatus write_all(const uint8_t* data, size_t size) override { return win::write_all_handle(h_.get(), data, size); }
  OsStatus sync() override {
    if (!FlushFileBuffers(h_.get())) return last_failure();
    return OsStatus::Ok();
  }

 private:
  win::FileHandle h_;
};

class Win32RandomAccessFile final : public RandomAccessFile {
 public:
  explicit Win32RandomAccessFile(win::FileHandle h) : h_(std::move(h)) {}
  OsResult<uint64_t> size() override {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(h_.get(), &size)) return last_failure();
    return static_cast<uint64_t>(size.QuadPart);
  }
  OsResult<size_t> read_at(uint64_t offset, uint8_t* data, size_t size) override {
    size_t done = 0;
    while (done < size) {
      OVERLAPPED at = located(offset + done);
      const DWORD chunk = size - done > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size - done);
      DWORD n = 0;
      if (!ReadFile(h_.get(), data + done, chunk, &n, &at)) {
        if (GetLastError() == ERROR_HANDLE_EOF) break;
        return last_failure();
      }
      if (n == 0) break;
      done += n;
    }
    return done;
  }
  OsStatus write_at(uint64_t offset, const uint8_t* data, size_t size) override {
    size_t done = 0;
    while (done < size) {
      OVERLAPPED at = located(offset + done);
      const DWORD chunk = size - done > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size - done);
      DWORD n = 0;
      if (!WriteFile(h_.get(), data + done, chunk, &n, &at)) return last_failure();
      if (n == 0) return OsStatus::Fail(0, "failed to write whole buffer");
      done += n;
    }
    return OsStatus::Ok();
  }
  OsStatus truncate(uint64_t size) override {
    LARGE_INTEGER to{};
    to.QuadPart = static_cast<LONGLONG>(size);
    if (!SetFilePointerEx(h_.get(), to, nullptr, FILE_BEGIN) || !SetEndOfFile(h_.get())) return last_failure();
    return OsStatus::Ok();
  }
  OsStatus sync() override {
    if (!FlushFileBuffers(h_.get())) return last_failure();
    return OsStatus::Ok();
  }

 private:
  static OVERLAPPED located(uint64_t offset) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return at;
  }
  win::FileHandle h_;
};

// A failure unless the open handle is a regular file on a disk (not a
// folder, a link or reparse point, a pipe or a device).
OsStatus regular_file(HANDLE h) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h, &info)) return last_failure();
  if (GetFileType(h) != FILE_TYPE_DISK ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    return OsStatus::Fail(0, "not a regular file", OsErrorKind::kNotRegularFile);
  }
  return OsStatus::Ok();
}

bool is_directory(const std::u16string& path) {
  DWORD a = GetFileAttributesW(win::wide(path));
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

size_t last_separator(const std::string& path) {
  size_t a = path.rfind('\\');
  size_t b = path.rfind('/');
  if (a == std::string::npos) return b;
  if (b == std::string::npos) return a;
  return a > b ? a : b;
}

class Win32FileSystem final : public FileSystem {
 public:
  char separator() const override { return '\\'; }

  std::optional<std::string> locate_user_state_root() override {
    PWSTR raw = nullptr;
    HRESULT hr = SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &raw);
    if (hr != S_OK) {
      CoTaskMemFree(raw);
      return std::nullopt;
    }
    std::string path = wide_to_utf8(reinterpret_cast<const char16_t*>(raw), static_cast<size_t>(lstrlenW(raw)));
    CoTaskMemFree(raw);
    return path;
  }

  // One CreateDirectoryW per missing level, like a recursive mkdir.
  OsStatus create_directories(const std::string& path) override {
    std::u16string w = utf8_to_wide(path);
    if (CreateDirectoryW(win::wide(w), nullptr)) return OsStatus::Ok();
    DWORD e = GetLastError();
    if (e == ERROR_PATH_NOT_FOUND) {
      size_t sep = last_separator(path);
      if (sep != std::string::npos && sep > 0) {
        if (OsStatus s = create_directories(path.substr(0, sep)); !s.ok()) return s.error();
        if (CreateDirectoryW(win::wide(w), nullptr)) return OsStatus::Ok();
        e = GetLastError();
      }
    }
    if (is_directory(w)) return OsStatus::Ok();
    return OsStatus::Fail(e, describe_system_error(e));
  }

  OsResult<std::unique_ptr<LockFile>> open_lock_file(const std::string& path) override {
    std::u16string wide_path = utf8_to_wide(path);
    win::FileHandle h(CreateFileW(win::wide(wide_path), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr, OPEN_ALWAYS,
                                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!h) return last_failure();
    if (OsStatus s = regular_file(h.get()); !s.ok()) return s.error();
    return std::unique_ptr<LockFile>(std::make_unique<Win32LockFile>(std::move(h), std::move(wide_path)));
  }

  OsResult<std::unique_ptr<ReadableFile>> open_to_read(const std::string& path, size_t max_bytes) override {
    win::FileHandle h(
        CreateFileW(win::wide(utf8_to_wide(path)), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!h) return last_failure();
    if (GetFileType(h.get()) != FILE_TYPE_DISK) {
      return OsStatus::Fail(0, "not a regular file", OsErrorKind::kNotRegularFile);
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(h.get(), &size)) return last_failure();
    if (static_cast<uint64_t>(size.QuadPart) > max_bytes) {
      return OsStatus::Fail(0, "file too large", OsErrorKind::kTooLarge);
    }
    return std::unique_ptr<ReadableFile>(std::make_unique<Win32ReadableFile>(std::move(h)));
  }

  OsResult<std::unique_ptr<WritableFile>> open_for_replace(const std::string& path) override {
    win::FileHandle h(
        CreateFileW(win::wide(utf8_to_wide(path)), GENERIC_WRITE, kShareAll, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!h) return last_failure();
    return std::unique_ptr<WritableFile>(std::make_unique<Win32WritableFile>(std::move(h)));
  }

  OsStatus replace(const std::string& from, const std::string& to) override {
    if (!MoveFileExW(win::wide(utf8_to_wide(from)), win::wide(utf8_to_wide(to)),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return last_failure();
    }
    return OsStatus::Ok();
  }

  OsResult<std::unique_ptr<RandomAccessFile>> open_random_access(const std::string& path, bool create) override {
    win::FileHandle h(CreateFileW(win::wide(utf8_to_wide(path)), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                                  create ? OPEN_ALWAYS : OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!h) return last_failure();
    if (OsStatus s = regular_file(h.get()); !s.ok()) return s.error();
    return std::unique_ptr<RandomAccessFile>(std::make_unique<Win32RandomAccessFile>(std::move(h)));
  }

  OsResult<FileStamp> stamp(const std::string& path) override {
    // No access asked, so that no sharing mode of another program is in the way.
    win::FileHandle h(CreateFileW(win::wide(utf8_to_wide(path)), 0, kShareAll, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!h) return last_failure();
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h.get(), &info)) return last_failure();
    auto wide64 = [](DWORD high, DWORD low) { return (static_cast<uint64_t>(high) << 32) | low; };
    return FileStamp{info.dwVolumeSerialNumber, wide64(info.nFileIndexHigh, info.nFileIndexLow),
                     wide64(info.nFileSizeHigh, info.nFileSizeLow),
                     static_cast<int64_t>(wide64(info.ftLastWriteTime.dwHighDateTime,
                                                 info.ftLastWriteTime.dwLowDateTime))};
  }
};

}  // namespace

FileSystem& system_file_system() {
  static Win32FileSystem fs;
  return fs;
}

}  // namespace tph
