#include "state/atomic_file.h"

#include <algorithm>
#include <memory>

namespace tph {
namespace {

// Windows accepts both separators; the port names its own.
size_t last_separator(const FileSystem& fs, const std::string& path) {
  size_t a = path.rfind(fs.separator());
  size_t b = fs.separator() == '\\' ? path.rfind('/') : std::string::npos;
  if (a == std::string::npos) return b;
  if (b == std::string::npos) return a;
  return std::max(a, b);
}

}  // namespace

OsStatus write_file_atomically(FileSystem& fs, const std::string& target, std::string_view bytes) {
  const size_t sep = last_separator(fs, target);
  if (sep == std::string::npos || sep == 0) return OsStatus::Fail(0, "path has no parent");
  const std::string parent = target.substr(0, sep);
  const std::string temporary = target.substr(0, sep + 1) + "." + target.substr(sep + 1) + ".tmp";
  if (OsStatus s = fs.create_directories(parent); !s.ok()) return s.error();

  OsResult<std::unique_ptr<WritableFile>> opened = fs.open_for_replace(temporary);
  if (!opened.ok()) return opened.take_error();
  std::unique_ptr<WritableFile> file = std::move(opened.value());
  if (OsStatus s = file->write_all(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()); !s.ok()) {
    return s;
  }
  if (OsStatus s = file->sync(); !s.ok()) return s.error();
  // Moved while still open: the handle was opened with delete sharing.
  if (OsStatus s = fs.replace(temporary, target); !s.ok()) return s.error();
  file.reset();
  return OsStatus::Ok();
}

}  // namespace tph
