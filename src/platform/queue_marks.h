#pragma once
// What a queue's set-up says about the printer behind it, read the same way
// on every print system: the status language its description is marked
// with, and the socket its device URI names. Pure functions.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/spooler.h"

namespace tph {

// The status language a queue's description (CUPS printer-info, the Windows
// queue's comment) is marked with: a word "language=zpl" or
// "language=escpos" ("esc/pos" too), in any case, set off by spaces,
// commas, semicolons or brackets. "" when unmarked or marked with a language
// the host cannot ask in.
std::string marked_status_language(std::string_view description);

// The host and port of a "socket://host[:port][/...][?options]" device URI
// (port 9100 when absent; an IPv6 literal in brackets); nothing for any
// other scheme, an empty host or a port outside 1-65535.
std::optional<DeviceAddress> socket_device(std::string_view device_uri);

// Sorts and dedupes a reason list in place.
void settle_reasons(std::vector<std::string>& reasons);

}  // namespace tph
