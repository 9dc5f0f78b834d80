#pragma once
// What the machine's administrator set for the print host: the fleet
// settings, read from where only an administrator can write (the Windows
// policy key HKLM\SOFTWARE\Policies\Tavelin\Print; on Linux a file owned by
// root, not writable by anyone else, at /etc/tavelin-print/fleet.json).
// Users configure nothing.

#include <map>
#include <optional>
#include <string>

#include "platform/os_status.h"

namespace tph {

// The policy's values by name, as texts (numbers in decimal). Nothing: the
// machine has no policy. A policy that is there but cannot be trusted or
// read (a file another user may write, a value of a wrong type) is a
// failure, never an absent policy: the host must not print outside the
// fleet it was told to join.
using PolicyValues = std::map<std::string, std::string>;
OsResult<std::optional<PolicyValues>> read_machine_policy();

// The machine's name (the computer name on Windows, the host name
// elsewhere) and the name of the user the host runs as, in UTF-8.
std::string machine_name();
std::string account_name();

}  // namespace tph
