#include "submit/submit_handler.h"

#include "submit/label_payload.h"
#include "submit/submit_attempt.h"

namespace tph {

Result<Json> handle_submit(SubmitRequest request, PrintContext& context) {
  if (Status s = validate_submit_request(request); !s.ok()) return s.take_error();
  Result<std::string> png = decode_label_payload(request);
  if (!png.ok()) return png.take_error();
  request.payload.base64 = std::string();  // the text is no longer needed; free it before printing
  const OutputIdentity output =
      compute_output_fingerprint(png.value(), request.printer, request.media, request.dpi, request.copies);
  return submit_attempt(context, request, png.value(), output);
}

}  // namespace tph
