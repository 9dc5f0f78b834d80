#pragma once
// The submit_raw payload: printer-language bytes (ZPL, EPL, TSPL, ESC/POS...)
// sent to the queue as they are, with the same at-most-once attempt rules as
// a PNG label.

#include <cstdint>
#include <string>

#include "support/host_error.h"
#include "support/protocol_limits.h"

namespace tph {

inline constexpr size_t kMaxRawBytes = protocol_limits::kMaxRawBytes;

struct RawSubmitRequest {
  std::string intent_id;
  std::string printer;
  std::string title;
  uint16_t copies = 1;
  std::string language;  // a token naming the printer language; recorded, not interpreted
  std::string base64;
};

// The checks, in order: intent_id, printer, title, copies (as for submit),
// then language (the media-token rule), then the bytes: the text at most as
// long as 5 MiB takes in base64, strict base64, 1 byte to 5 MiB. Returns the
// bytes.
Result<std::string> decode_raw_request(const RawSubmitRequest& request);

}  // namespace tph
