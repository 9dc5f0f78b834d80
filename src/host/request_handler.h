#pragma once
#include <optional>
#include <string>
#include <string_view>

#include "host/host_context.h"

namespace tph {

// Handles one request body and returns the encoded response envelope. Every
// failure of the request becomes the envelope's error; nothing here ends the
// process. IO_ERROR only when the response cannot be encoded.
Result<std::string> handle_request(std::string body, HostContext& context);

}  // namespace tph
