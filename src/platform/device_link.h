#pragma once
// A short conversation with a network printer on the socket it prints from:
// connect, send a query, read the answer, all within one time bound.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/os_status.h"

namespace tph {

class DeviceLink {
 public:
  virtual ~DeviceLink() = default;
  // Connects to host:port, sends `query` and reads until `whole` says the
  // answer is complete, `max_bytes` have come, or `bound_ms` have passed
  // since the call began (kTimedOut, with nothing). The connection is closed
  // before it returns, on every path.
  virtual OsResult<std::string> ask(const std::string& host, uint16_t port, std::string_view query, size_t max_bytes,
                                    const std::function<bool(std::string_view)>& whole, uint32_t bound_ms) = 0;
};

// This platform's sockets.
DeviceLink& system_device_link();

}  // namespace tph
