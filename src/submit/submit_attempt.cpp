#include "submit/submit_attempt.h"

#include "support/error_catalogue.h"
#include "submit/label_payload.h"
#include "submit/label_printer.h"

namespace tph {
namespace {

using namespace errors;

// Renders and prints a new attempt; the job id or the error that ended it.
PrintOutcome print_attempt(PrintContext& ctx, const SubmitRequest& request, const std::string& png,
                           const std::string& job_uuid) {
  const std::string& system = ctx.info.print_system;
  if (request.media) return PrintOutcome::failed(0, make(kMediaUnsupported, named(kMsgMediaUnsupported, system)));
  Result<DeviceRaster, DecodeFailure> raster = decode_png(png, /*already_checked=*/true);
  if (!raster.ok()) {
    if (raster.error() == DecodeFailure::kOutOfMemory) {
      return PrintOutcome::failed(0, make(kPayloadTooLarge, kMsgOutOfMemory));  // recorded FAILED: nothing was printed
    }
    return PrintOutcome::failed(0, make(kBadRequest, named(kMsgSecondDecode, system)));
  }
  OneRaster page(raster.value());
  return print_label(ctx.new_document(), LabelJob{request.printer, request.title, job_uuid, request.dpi, request.copies, page},
                     system);
}

}  // namespace

Result<SubmitReply> submit_attempt(PrintContext& ctx, const SubmitRequest& request, const std::string& png,
                                   const OutputIdentity& output) {
  return run_attempt(ctx, AttemptKey{request.intent_id, request.printer}, output,
                     [&](const std::string& job_uuid) {
                       return print_attempt(ctx, request, png, job_uuid);
                     });
}

}  // namespace tph
