#include "submit/submit_request.h"

#include <limits>

#include "support/error_catalogue.h"
#include "support/identifier.h"

namespace tph {
namespace {

constexpr uint64_t kU32 = std::numeric_limits<uint32_t>::max();
constexpr uint64_t kU16 = std::numeric_limits<uint16_t>::max();

}  // namespace

// Moves the text out of the parsed document: a label's base64 is the bulk of
// a request, and the document is not read again.
bool take_json_text(Json* v, std::string& out) {
  if (!v || !v->is_string()) return false;
  out = std::move(v->get_ref<std::string&>());
  return true;
}

namespace {

template <typename T>
bool take_unsigned(Json* v, uint64_t max, T& out) {
  if (!v) return false;
  auto n = json_unsigned(*v, max);
  if (!n) return false;
  out = static_cast<T>(*n);
  return true;
}

}  // namespace

bool take_json_u16(Json* v, uint16_t& out) { return take_unsigned(v, kU16, out); }

// The members of an object by key, or of an array by position; null for a
// missing one. False when the shape does not match at all, or when the
// object names one of its members twice.
bool json_members(Json& v, const StrictJson& parsed, std::initializer_list<const char*> keys,
             std::vector<Json*>& out) {
  out.assign(keys.size(), nullptr);
  if (v.is_object()) {
    if (parsed.has_repeated_member(v)) return false;
    size_t i = 0;
    for (const char* key : keys) {
      auto it = v.find(key);
      if (it != v.end()) out[i] = &*it;
      ++i;
    }
    return true;
  }
  if (v.is_array() && v.size() == keys.size()) {
    for (size_t i = 0; i < keys.size(); ++i) out[i] = &v[i];
    return true;
  }
  return false;
}

namespace {

bool bind_raster(Json& v, const StrictJson& parsed, RasterPayload& r) {
  std::vector<Json*> m;
  if (!json_members(v, parsed, {"format", "base64", "width_px", "height_px"}, m)) return false;
  return take_json_text(m[0], r.format) && take_json_text(m[1], r.base64) && take_unsigned(m[2], kU32, r.width_px) &&
         take_unsigned(m[3], kU32, r.height_px);
}

}  // namespace

const JsonShape& print_payload_shape() {
  static const JsonShape raster{
      {{"format", &kScalarShape}, {"base64", &kScalarShape}, {"width_px", &kScalarShape},
       {"height_px", &kScalarShape}},
      nullptr,
      {&kScalarShape, &kScalarShape, &kScalarShape, &kScalarShape}};
  static const JsonShape pages{{}, nullptr, {}, false, &raster, kMaxDocumentPages};
  static const JsonShape payload{
      {{"intent_id", &kScalarShape}, {"printer", &kScalarShape}, {"title", &kScalarShape},
       {"copies", &kScalarShape}, {"media", &kScalarShape}, {"dpi", &kScalarShape}, {"payload", &raster},
       {"language", &kScalarShape}, {"base64", &kScalarShape}, {"pages", &pages},
       {"intent_prefix", &kScalarShape}, {"limit", &kScalarShape}},
      nullptr,
      {&kScalarShape, &kScalarShape, &kScalarShape, &kScalarShape, &kScalarShape, &kScalarShape, &raster}};
  return payload;
}

namespace {

// The attempt fields submit and submit_document share, from the first six
// members in the order of the payload's keys.
bool bind_attempt_fields(const std::vector<Json*>& m, PngAttemptFields& r) {
  if (!take_json_text(m[0], r.intent_id) || !take_json_text(m[1], r.printer) || !take_json_text(m[2], r.title)) {
    return false;
  }
  if (m[3] && !take_unsigned(m[3], kU16, r.copies)) return false;  // absent means 1
  if (m[4] && !m[4]->is_null()) {
    if (!m[4]->is_string()) return false;
    r.media = m[4]->get<std::string>();
  }
  return take_unsigned(m[5], kU32, r.dpi);
}

}  // namespace

std::optional<SubmitRequest> bind_submit_request(Json& payload, const StrictJson& parsed) {
  std::vector<Json*> m;
  if (!json_members(payload, parsed, {"intent_id", "printer", "title", "copies", "media", "dpi", "payload"},
               m)) {
    return std::nullopt;
  }
  SubmitRequest r;
  if (!bind_attempt_fields(m, r) || !m[6]) return std::nullopt;
  if (!bind_raster(*m[6], parsed, r.payload)) return std::nullopt;
  return r;
}

std::optional<DocumentRequest> bind_document_request(Json& payload, const StrictJson& parsed) {
  std::vector<Json*> m;
  if (!payload.is_object() ||
      !json_members(payload, parsed, {"intent_id", "printer", "title", "copies", "media", "dpi", "pages"}, m)) {
    return std::nullopt;
  }
  DocumentRequest r;
  if (!bind_attempt_fields(m, r) || !m[6] || !m[6]->is_array()) return std::nullopt;
  r.pages.reserve(std::min(m[6]->size(), kMaxDocumentPages + 1));
  for (Json& page : *m[6]) {
    if (r.pages.size() == kMaxDocumentPages) {  // the parser kept one more as null: too many
      r.pages.emplace_back();
      break;
    }
    if (!bind_raster(page, parsed, r.pages.emplace_back())) return std::nullopt;
  }
  return r;
}

bool is_valid_text_field(std::string_view value, size_t max_bytes) {
  if (value.empty() || value.size() > max_bytes) return false;
  for (size_t i = 0; i < value.size(); ++i) {
    auto b = static_cast<uint8_t>(value[i]);
    if (b < 0x20 || b == 0x7F) return false;
    // U+0080..U+009F are encoded as C2 80..C2 9F.
    if (b == 0xC2 && i + 1 < value.size()) {
      auto b1 = static_cast<uint8_t>(value[i + 1]);
      if (b1 >= 0x80 && b1 <= 0x9F) return false;
    }
  }
  return true;
}

bool is_valid_media_token(std::string_view value) { return is_token(value, 128, "-._"); }

Status validate_attempt_fields(const std::string& intent_id, const std::string& printer, const std::string& title,
                               uint16_t copies) {
  using namespace errors;
  if (!is_valid_identifier(intent_id, kIntentIdMaxBytes)) return unsupported_characters("intent_id");
  if (!is_valid_text_field(printer, 256)) return bad_text_field("printer");
  if (!is_valid_text_field(title, 200)) return bad_text_field("title");
  if (copies < 1 || copies > 10) return make(kBadRequest, kMsgCopies);
  return Status::Ok();
}

namespace {

Status validate_raster(const RasterPayload& raster) {
  using namespace errors;
  if (raster.format != "png") return make(kBadRequest, kMsgPngOnly);
  auto in_range = [](uint32_t v) { return v >= 16 && v <= 10000; };
  if (!in_range(raster.width_px) || !in_range(raster.height_px)) return make(kBadRequest, kMsgRasterRange);
  return Status::Ok();
}

}  // namespace

Status validate_submit_request(const SubmitRequest& r) {
  using namespace errors;
  if (Status s = validate_attempt_fields(r.intent_id, r.printer, r.title, r.copies); !s.ok()) return s;
  if (r.dpi < 72 || r.dpi > 1200) return make(kBadRequest, kMsgDpi);
  if (Status s = validate_raster(r.payload); !s.ok()) return s;
  if (r.media && !is_valid_media_token(*r.media)) return make(kBadRequest, kMsgMediaChars);
  return Status::Ok();
}

Status validate_document_request(const DocumentRequest& r) {
  using namespace errors;
  if (Status s = validate_attempt_fields(r.intent_id, r.printer, r.title, r.copies); !s.ok()) return s;
  if (r.dpi < 72 || r.dpi > 1200) return make(kBadRequest, kMsgDpi);
  if (r.pages.empty() || r.pages.size() > kMaxDocumentPages) return make(kBadRequest, kMsgPageCount);
  for (size_t i = 0; i < r.pages.size(); ++i) {
    if (Status s = validate_raster(r.pages[i]); !s.ok()) return on_page(i, s.take_error());
  }
  if (r.media && !is_valid_media_token(*r.media)) return make(kBadRequest, kMsgMediaChars);
  return Status::Ok();
}

}  // namespace tph
