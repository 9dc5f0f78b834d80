#pragma once
#include <string>
#include <string_view>

#include "platform/file_system.h"

namespace tph {

// Replaces `target` whole: the bytes go to ".<name>.tmp" beside it, are
// flushed to the disk, and the temporary file is moved over the target while
// still open. On failure the target keeps its old content and the temporary
// file is left where it is, to be replaced by the next write. The failure
// carries its description. Only the holder of the state lock writes, so one
// temporary name per target is enough, and a crash leaves at most one behind.
OsStatus write_file_atomically(FileSystem& fs, const std::string& target, std::string_view bytes);

}  // namespace tph
