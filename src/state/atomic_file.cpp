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

bool temporary_sibling(const FileSystem& fs, const std::string& target, uint32_t pid, std::string& out) {
  size_t sep = last_separator(fs, target);
  if (sep == std::string::npos || sep == 0) return false;
  std::string name = target.substr(sep + 1);
  out = target.substr(0, sep + 1) + "." + name + "." + std::to_string(pid) + ".tmp";
  return true;
}

OsStatus write_file_atomically(FileSystem& fs, const std::string& target, std::string_view bytes) {
  std::string temporary;
  if (!temporary_sibling(fs, target, fs.process_id(), temporary)) {
    return OsStatus::Fail(0, "path has no parent");
  }
  std::string parent = target.substr(0, last_separator(fs, target));
  if (OsStatus s = fs.create_directories(parent); !s.ok) return s;

  OsResult<std::unique_ptr<WritableFile>> opened = fs.open_for_replace(temporary);
  if (!opened.ok()) return opened.take_error();
  std::unique_ptr<WritableFile> file = std::move(opened.value());
  if (OsStatus s = file->write_all(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()); !s.ok) {
    return s;
  }
  if (OsStatus s = file->sync(); !s.ok) return s;
  // Moved while still open: the handle was opened with delete sharing.
  if (OsStatus s = fs.replace(temporary, target); !s.ok) return s;
  file.reset();
  return OsStatus::Ok();
}

}  // namespace tph
