#pragma once
#include <string>
#include <string_view>

#include "platform/file_system.h"

namespace tph {

// Replaces `target` whole: the bytes go to ".<name>.<pid>.tmp" beside it, are
// flushed to the disk, and the temporary file is moved over the target while
// still open. On failure the target keeps its old content and the temporary
// file is left where it is. The failure carries its description.
OsStatus write_file_atomically(FileSystem& fs, const std::string& target, std::string_view bytes);

// ".<name>.<pid>.tmp" in the target's folder, or nothing for a target without
// a parent folder.
bool temporary_sibling(const FileSystem& fs, const std::string& target, uint32_t pid, std::string& out);

}  // namespace tph
