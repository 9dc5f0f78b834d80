#pragma once
#include "host/host_error.h"
#include "platform/spooler.h"
#include "support/strict_json.h"

namespace tph {

// The list_printers reply: every queue the user can see, sorted by the bytes
// of its name, with its state, and the default queue.
Result<Json> list_printers(Spooler& spooler);

}  // namespace tph
