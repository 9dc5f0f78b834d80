#pragma once
// What a request handler may use: the print context (durable state, clock,
// print documents, platform) and the spooler. Owned by the main sequence;
// handlers borrow it for one request.

#include "platform/spooler.h"
#include "queues/printer_voice.h"
#include "queues/watch.h"
#include "submit/print_context.h"

namespace tph {

struct HostContext {
  PrintContext print;
  Spooler& spooler;
  // Asks network label printers for their own status; null: nobody is asked.
  PrinterVoice* voice = nullptr;
  // What this port watches; events are sent between messages.
  Watch watch{};
};

}  // namespace tph
