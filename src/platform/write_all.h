#pragma once
// The one loop that writes a buffer whole through a system call that may take
// less than it is given.

#include <cstddef>
#include <cstdint>

#include "platform/os_status.h"

namespace tph {

// Calls `write_some(data, size, written)` until every byte is taken, never
// with more than `max_piece` bytes at once. A call that takes no bytes and
// reports no failure ends the loop with "failed to write whole buffer".
template <typename WriteSome>
OsStatus write_all_pieces(const uint8_t* data, size_t size, size_t max_piece, WriteSome&& write_some) {
  while (size > 0) {
    const size_t piece = size > max_piece ? max_piece : size;
    size_t written = 0;
    if (OsStatus s = write_some(data, piece, written); !s.ok()) return s.error();
    if (written == 0) return OsStatus::Fail(0, "failed to write whole buffer");
    data += written;
    size -= written;
  }
  return OsStatus::Ok();
}

}  // namespace tph
