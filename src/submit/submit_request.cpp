#include "submit/submit_request.h"

#include <limits>

#include "support/error_catalogue.h"
#include "support/identifier.h"

namespace tph {
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

bool is_valid_media_token(std::string_view value) { return is_token(value, protocol_limits::kMediaMaxBytes, "-._"); }

Status validate_attempt_fields(const std::string& intent_id, const std::string& printer, const std::string& title,
                               uint16_t copies) {
  using namespace errors;
  if (!is_valid_identifier(intent_id, kIntentIdMaxBytes)) return unsupported_characters("intent_id");
  if (!is_valid_text_field(printer, protocol_limits::kPrinterMaxBytes)) return bad_text_field("printer");
  if (!is_valid_text_field(title, protocol_limits::kTitleMaxBytes)) return bad_text_field("title");
  if (copies < protocol_limits::kCopiesMin || copies > protocol_limits::kCopiesMax) return make(kBadRequest, kMsgCopies);
  return Status::Ok();
}

namespace {

bool dpi_in_range(uint32_t dpi) { return dpi >= protocol_limits::kDpiMin && dpi <= protocol_limits::kDpiMax; }

Status validate_raster(const RasterPayload& raster) {
  using namespace errors;
  if (raster.format != "png") return make(kBadRequest, kMsgPngOnly);
  auto in_range = [](uint32_t v) { return v >= protocol_limits::kRasterMinPx && v <= protocol_limits::kRasterMaxPx; };
  if (!in_range(raster.width_px) || !in_range(raster.height_px)) return make(kBadRequest, kMsgRasterRange);
  return Status::Ok();
}

}  // namespace

Status validate_submit_request(const SubmitRequest& r) {
  using namespace errors;
  if (Status s = validate_attempt_fields(r.intent_id, r.printer, r.title, r.copies); !s.ok()) return s.error();
  if (!dpi_in_range(r.dpi)) return make(kBadRequest, kMsgDpi);
  if (Status s = validate_raster(r.payload); !s.ok()) return s.error();
  if (r.media && !is_valid_media_token(*r.media)) return make(kBadRequest, kMsgMediaChars);
  return Status::Ok();
}

Status validate_document_request(const DocumentRequest& r) {
  using namespace errors;
  if (Status s = validate_attempt_fields(r.intent_id, r.printer, r.title, r.copies); !s.ok()) return s.error();
  if (!dpi_in_range(r.dpi)) return make(kBadRequest, kMsgDpi);
  if (r.pages.empty() || r.pages.size() > kMaxDocumentPages) return make(kBadRequest, kMsgPageCount);
  for (size_t i = 0; i < r.pages.size(); ++i) {
    if (Status s = validate_raster(r.pages[i]); !s.ok()) return on_page(i, s.take_error());
  }
  if (r.media && !is_valid_media_token(*r.media)) return make(kBadRequest, kMsgMediaChars);
  return Status::Ok();
}

}  // namespace tph
