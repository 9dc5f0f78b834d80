#include "submit/submit_handler.h"

#include "support/error_catalogue.h"
#include "submit/fingerprint.h"
#include "submit/label_payload.h"
#include "submit/label_printer.h"
#include "submit/raw_printer.h"
#include "submit/submit_attempt.h"

namespace tph {

namespace {

// Refuses a request whose pages and copies would print more than a request
// may, judged from the declared sizes before anything is decoded.
Status within_print_bound(const std::vector<const RasterPayload*>& pages, uint16_t copies) {
  uint64_t pixels = 0;
  for (const RasterPayload* p : pages) pixels += uint64_t{p->width_px} * p->height_px;
  if (pixels > kMaxPixelsPerRequest / copies) return errors::make(errors::kPayloadTooLarge, errors::kMsgTooMuchToPrint);
  return Status::Ok();
}

}  // namespace

Result<SubmitReply> handle_submit(SubmitRequest request, PrintContext& context) {
  if (Status s = validate_submit_request(request); !s.ok()) return s.take_error();
  if (Status s = within_print_bound({&request.payload}, request.copies); !s.ok()) return s.take_error();
  Result<std::string> png = decode_label_payload(request.payload);
  if (!png.ok()) return png.take_error();
  std::string().swap(request.payload.base64);  // free the text before printing (assigning "" keeps the buffer)
  Result<OutputIdentity> output =
      compute_output_fingerprint(png.value(), request.printer, request.media, request.dpi, request.copies);
  if (!output.ok()) return output.take_error();
  return submit_attempt(context, request, png.value(), output.value());
}

Result<SubmitReply> handle_submit_document(DocumentRequest request, PrintContext& context) {
  using namespace errors;
  if (Status s = validate_document_request(request); !s.ok()) return s.take_error();
  std::vector<const RasterPayload*> declared;
  for (const RasterPayload& page : request.pages) declared.push_back(&page);
  if (Status s = within_print_bound(declared, request.copies); !s.ok()) return s.take_error();
  std::vector<std::string> pngs;
  pngs.reserve(request.pages.size());
  for (size_t i = 0; i < request.pages.size(); ++i) {
    Result<std::string> png = decode_label_payload(request.pages[i]);
    if (!png.ok()) return on_page(i, png.take_error());
    std::string().swap(request.pages[i].base64);  // the body shrinks as the pages grow
    pngs.push_back(std::move(png.value()));
  }
  Result<std::string> fingerprint =
      document_fingerprint(pngs, request.printer, request.media, request.dpi, request.copies);
  if (!fingerprint.ok()) return fingerprint.take_error();
  OutputIdentity output;
  output.fingerprint = std::move(fingerprint.value());
  return run_attempt(context, AttemptKey{request.intent_id, request.printer}, output, [&](const std::string& job_uuid) {
    const std::string& system = context.info.print_system;
    if (request.media) return PrintOutcome::failed(0, make(kMediaUnsupported, named(kMsgMediaUnsupported, system)));
    PngPages pages(pngs, system);
    return print_label(context.new_document(),
                       LabelJob{request.printer, request.title, job_uuid, request.dpi, request.copies, pages}, system);
  });
}

Result<SubmitReply> handle_submit_raw(RawSubmitRequest request, PrintContext& context) {
  Result<std::string> bytes = decode_raw_request(request);
  if (!bytes.ok()) return bytes.take_error();
  std::string().swap(request.base64);
  // The language stands where a PNG label's media token does; the domain
  // keeps raw and PNG fingerprints apart.
  Result<std::string> fingerprint =
      output_fingerprint(kRawFingerprintDomain, bytes.value(), request.printer, request.language, 0, request.copies);
  if (!fingerprint.ok()) return fingerprint.take_error();
  OutputIdentity output;
  output.fingerprint = std::move(fingerprint.value());
  return run_attempt(context, AttemptKey{request.intent_id, request.printer}, output, [&](const std::string& job_uuid) {
    return print_raw(context.new_raw_job(), RawJob{request.printer, request.title, job_uuid, request.copies, bytes.value()},
                     context.info.print_system);
  });
}

}  // namespace tph
