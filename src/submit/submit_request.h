#pragma once
// The submit payload, its binding from JSON and its field checks.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "support/host_error.h"
#include "support/strict_json.h"

namespace tph {

struct RasterPayload {
  std::string format;
  std::string base64;
  uint32_t width_px = 0;
  uint32_t height_px = 0;
};

struct SubmitRequest {
  std::string intent_id;
  std::string printer;
  std::string title;
  uint16_t copies = 1;
  std::optional<std::string> media;
  uint32_t dpi = 0;
  RasterPayload payload;
};

// The members of a submit payload the binding reads, for the parser.
const JsonShape& submit_payload_shape();

// Binds the envelope payload (an object, or an array of the seven fields in
// order; the raster likewise), parsed with submit_payload_shape(). `parsed`
// tells which objects repeat a member name, which is refused. Nothing on any
// mismatch. Strings are moved out of `payload`.
std::optional<SubmitRequest> bind_submit_request(Json& payload, const StrictJson& parsed);

// The field checks, in their fixed order; the first failure is returned.
Status validate_submit_request(const SubmitRequest& request);

// 1..max_bytes bytes and no control character (U+0000-U+001F, U+007F-U+009F).
bool is_valid_text_field(std::string_view value, size_t max_bytes);
// 1..128 bytes of ASCII letters, digits, "-", ".", "_".
bool is_valid_media_token(std::string_view value);

}  // namespace tph
