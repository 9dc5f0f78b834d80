#include "submit/raw_request.h"

#include "support/base64.h"
#include "submit/label_payload.h"
#include "submit/submit_request.h"
#include "support/error_catalogue.h"

namespace tph {

Result<std::string> decode_raw_request(const RawSubmitRequest& r) {
  using namespace errors;
  if (Status s = validate_attempt_fields(r.intent_id, r.printer, r.title, r.copies); !s.ok()) return s.take_error();
  if (!is_valid_media_token(r.language)) return make(kBadRequest, kMsgLanguageChars);
  if (r.base64.size() > kMaxBase64Chars) return make(kPayloadTooLarge, kMsgRawTooLarge);
  std::optional<std::string> bytes = decode_base64_strict(r.base64);
  if (!bytes) return make(kBadRequest, kMsgRawNotBase64);
  if (bytes->empty()) return make(kBadRequest, kMsgRawEmpty);
  if (bytes->size() > kMaxRawBytes) return make(kPayloadTooLarge, kMsgRawTooLarge);
  return std::move(*bytes);
}

}  // namespace tph
