#pragma once
// The submit payload, its binding from JSON and its field checks.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/host_error.h"
#include "support/strict_json.h"

namespace tph {

// The most label pixels one request may print, every page of every copy
// counted: about a minute and a half of rendering and sending here, so that
// no request holds the host (and every client behind it) for longer.
inline constexpr uint64_t kMaxPixelsPerRequest = 4'000'000'000ull;

struct RasterPayload {
  std::string format;
  std::string base64;
  uint32_t width_px = 0;
  uint32_t height_px = 0;
};

// What every PNG print message names: the attempt, where and how it prints.
struct PngAttemptFields {
  std::string intent_id;
  std::string printer;
  std::string title;
  uint16_t copies = 1;
  std::optional<std::string> media;
  uint32_t dpi = 0;
};

// One label.
struct SubmitRequest : PngAttemptFields {
  RasterPayload payload;
};

// One attempt of several PNG pages, printed as one job in order.
struct DocumentRequest : PngAttemptFields {
  std::vector<RasterPayload> pages;
};

inline constexpr size_t kMaxDocumentPages = 1000;

// The members of a submit, submit_document or submit_raw payload that the bindings read, for
// the parser.
const JsonShape& print_payload_shape();

// Pieces of the print messages' bindings: text moved out of the parsed
// document; an integer of 0..65535; the members of an object by key (false
// when the object names one of them twice) or of an array by position (false
// for another count), null for a missing one.
bool take_json_text(Json* v, std::string& out);
bool take_json_u16(Json* v, uint16_t& out);
bool json_members(Json& v, const StrictJson& parsed, std::initializer_list<const char*> keys, std::vector<Json*>& out);

// Binds the envelope payload (an object, or an array of the seven fields in
// order; the raster likewise), parsed with print_payload_shape(). `parsed`
// tells which objects repeat a member name, which is refused. Nothing on any
// mismatch. Strings are moved out of `payload`.
std::optional<SubmitRequest> bind_submit_request(Json& payload, const StrictJson& parsed);

// The field checks, in their fixed order; the first failure is returned.
Status validate_submit_request(const SubmitRequest& request);

// Binds a submit_document payload: an object with the attempt fields of
// submit and `pages`, a list of raster objects. Nothing on any mismatch.
std::optional<DocumentRequest> bind_document_request(Json& payload, const StrictJson& parsed);

// The checks of submit, with every page's raster checked like submit's and
// named by its position ("Page 2: ...").
Status validate_document_request(const DocumentRequest& request);

// The checks every print message shares, in this order: intent_id, printer,
// title, copies.
Status validate_attempt_fields(const std::string& intent_id, const std::string& printer, const std::string& title,
                               uint16_t copies);

// 1..max_bytes bytes and no control character (U+0000-U+001F, U+007F-U+009F).
bool is_valid_text_field(std::string_view value, size_t max_bytes);
// 1..128 bytes of ASCII letters, digits, "-", ".", "_".
bool is_valid_media_token(std::string_view value);

}  // namespace tph
