#pragma once
// The native channel: standard input, standard output and the one diagnostic
// line on standard error.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/os_status.h"

namespace tph {

class Channel {
 public:
  virtual ~Channel() = default;
  // Reads at most `capacity` bytes from standard input: how many it read, 0
  // at the end of input (a closed or broken pipe is an end, not a failure).
  virtual OsResult<size_t> read(uint8_t* buffer, size_t capacity) = 0;
  // Writes all bytes to standard output, repeating partial writes.
  virtual OsStatus write_all(const uint8_t* data, size_t size) = 0;
  // Returns once nothing is left in our own buffers (the bytes are with the OS).
  virtual OsStatus flush() = 0;
  // Writes one line to standard error; failures are ignored.
  virtual void write_diagnostic(std::string_view line) = 0;
};

// The process's standard streams, taken once for the whole run.
std::unique_ptr<Channel> open_standard_channel();

}  // namespace tph
