#include "submit/submit_handler.h"

#include "support/error_catalogue.h"
#include "submit/fingerprint.h"
#include "submit/label_payload.h"
#include "submit/raw_printer.h"
#include "submit/submit_attempt.h"

namespace tph {

Result<Json> handle_submit(SubmitRequest request, PrintContext& context) {
  if (Status s = validate_submit_request(request); !s.ok()) return s.take_error();
  Result<std::string> png = decode_label_payload(request.payload);
  if (!png.ok()) return png.take_error();
  std::string().swap(request.payload.base64);  // free the text before printing (assigning "" keeps the buffer)
  const std::optional<OutputIdentity> output =
      compute_output_fingerprint(png.value(), request.printer, request.media, request.dpi, request.copies);
  if (!output) return errors::make(errors::kSubmissionRejected, errors::kMsgFingerprintFailed);
  return submit_attempt(context, request, png.value(), *output);
}

Result<Json> handle_submit_raw(RawSubmitRequest request, PrintContext& context) {
  Result<std::string> bytes = decode_raw_request(request);
  if (!bytes.ok()) return bytes.take_error();
  std::string().swap(request.base64);
  // The language stands where a PNG label's media token does; the domain
  // keeps raw and PNG fingerprints apart.
  std::optional<std::string> fingerprint =
      output_fingerprint(kRawFingerprintDomain, bytes.value(), request.printer, request.language, 0, request.copies);
  if (!fingerprint) return errors::make(errors::kSubmissionRejected, errors::kMsgFingerprintFailed);
  OutputIdentity output;
  output.fingerprint = std::move(*fingerprint);
  return run_attempt(context, AttemptKey{request.intent_id, request.printer}, output, [&](uint32_t& started_job_id) {
    return print_raw(context.new_raw_job(), RawJob{request.printer, request.title, request.copies, bytes.value()},
                     context.info.print_system, started_job_id);
  });
}

}  // namespace tph
