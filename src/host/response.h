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
// An event the host sends unasked: protocol, event (its kind), and a member
// named after the kind holding its body. It has no request_id and no ok, so
// nothing reads it as a response.
Result<std::string> encode_event(std::string_view kind, const Json& body);

}  // namespace tph
