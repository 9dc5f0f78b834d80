#pragma once
// The response envelope: protocol, request_id, ok, then result or error, as
// compact JSON. Result objects are generic values whose objects are ordered
// maps, so their members come out in byte order of their keys.

#include <optional>
#include <string>
#include <string_view>

#include "support/host_error.h"
#include "support/strict_json.h"

namespace tph {

// IO_ERROR when a string is not valid UTF-8 (which no handler produces).
Result<std::string> encode_success(std::string_view request_id, const Json& result);
Result<std::string> encode_failure(std::string_view request_id, const HostError& error);

}  // namespace tph
