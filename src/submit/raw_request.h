#pragma once
// The submit_raw payload: printer-language bytes (ZPL, EPL, TSPL, ESC/POS...)
// sent to the queue as they are, with the same at-most-once attempt rules as
// a PNG label.

#include <cstdint>
#include <string>

#include "support/host_error.h"
#include "support/strict_json.h"

namespace tph {

inline constexpr size_t kMaxRawBytes = 5'242'880;  // 5 MiB, as for a PNG

struct RawSubmitRequest {
  std::string intent_id;
  std::string printer;
  std::string title;
  uint16_t copies = 1;
  std::string language;  // a token naming the printer language; recorded, not interpreted
  std::string base64;
};

// Binds the envelope payload: an object, or an array of the six fields in
// this order (intent_id, printer, title, copies, language, base64). Keys the
// record does not name are ignored; a named key twice, a missing one (but
// copies, 1 when missing), or a wrong type is nothing.
std::optional<RawSubmitRequest> bind_raw_request(Json& payload, const StrictJson& parsed);

// The checks, in order: intent_id, printer, title, copies (as for submit),
// then language (the media-token rule), then the bytes: the text at most as
// long as 5 MiB takes in base64, strict base64, 1 byte to 5 MiB. Returns the
// bytes.
Result<std::string> decode_raw_request(const RawSubmitRequest& request);

}  // namespace tph
