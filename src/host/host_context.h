#pragma once
// What a request handler may use: the print context (durable state, clock,
// print documents, platform) and the spooler. Owned by the main sequence;
// handlers borrow it for one request.

#include "platform/spooler.h"
#include "submit/print_context.h"

namespace tph {

struct HostContext {
  PrintContext print;
  Spooler& spooler;
};

}  // namespace tph
