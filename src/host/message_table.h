#pragma once
// Every message the host answers, declared once: its type, the capabilities
// hello lists for it, its payload's members with their limits, and how it is
// answered (binding, handler, wire writer). Dispatch, the parser's shape of
// the envelope and hello's capabilities all come from this table; adding a
// message is one entry, its handler and their tests.

#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "host/host_context.h"
#include "submit/raw_request.h"
#include "submit/submit_request.h"
#include "support/payload_binding.h"

namespace tph {

struct MessageEntry {
  std::string_view type;
  // What hello lists for this message, in the order the capabilities came.
  std::vector<std::string_view> capabilities;
  // The payload's members; null when the message reads no payload.
  const PayloadSpec* payload;
  // Binds the payload (null when absent), handles it and writes the result.
  Result<Json> (*answer)(Json* payload, const StrictJson& parsed, HostContext& context);
  // The handler reads or writes the ledger or the archive: the state is held
  // for it. Others run without the lock, so that asking the print system or
  // a printer never keeps another host from printing.
  bool uses_state = false;
};

// The messages in the order they were added to the protocol.
std::span<const MessageEntry> message_table();
const MessageEntry* find_message(std::string_view type);

// What the parser keeps of any payload: the members every message declares.
const JsonShape& payload_shape();

// The bindings of the print messages, for the parser's fuzzing and the
// benchmarks: the payload as declared, or the error naming what broke.
Result<SubmitRequest> bind_submit_request(Json* payload, const StrictJson& parsed);
Result<DocumentRequest> bind_document_request(Json* payload, const StrictJson& parsed);
Result<RawSubmitRequest> bind_raw_request(Json* payload, const StrictJson& parsed);

}  // namespace tph
