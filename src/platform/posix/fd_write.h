#pragma once
// Writing a whole buffer to a file descriptor.

#include <unistd.h>

#include <cerrno>
#include <limits>

#include "platform/system_error.h"
#include "platform/write_all.h"

namespace tph::posix {

inline OsStatus write_all_fd(int fd, const uint8_t* data, size_t size) {
  return write_all_pieces(data, size, std::numeric_limits<ssize_t>::max(),
                          [fd](const uint8_t* p, size_t n, size_t& written) -> OsStatus {
                            for (;;) {
                              const ssize_t w = ::write(fd, p, n);
                              if (w >= 0) {
                                written = static_cast<size_t>(w);
                                return OsStatus::Ok();
                              }
                              if (errno != EINTR) {
                                return OsStatus::Fail(static_cast<uint32_t>(errno),
                                                      describe_system_error(static_cast<uint32_t>(errno)));
                              }
                            }
                          });
}

}  // namespace tph::posix
