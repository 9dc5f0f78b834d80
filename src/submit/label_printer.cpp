#include "submit/label_printer.h"

#include "host/error_catalogue.h"
#include "platform/system_error.h"
#include "submit/label_placement.h"
#include "support/text_conversion.h"

namespace tph {

Result<uint32_t> print_label(PrintDevice& device, const LabelJob& job) {
  using namespace errors;
  if (!device.create_dc(utf8_to_wide(job.printer))) {
    return with_context(kPrinterUnavailable, kCtxOpenQueue, describe_system_error(device.last_error()));
  }
  const int log_x = device.device_caps(DeviceCap::kLogPixelsX);
  const int log_y = device.device_caps(DeviceCap::kLogPixelsY);
  const int horz = device.device_caps(DeviceCap::kHorzRes);
  const int vert = device.device_caps(DeviceCap::kVertRes);
  const LabelPlacement place =
      place_label(log_x, log_y, horz, vert, job.raster.width, job.raster.height, job.dpi);
  if (!place.fits) {
    device.delete_dc();
    return make(kMediaMismatch, kMsgMediaMismatch);
  }

  const int job_id = device.start_doc(utf8_to_wide(job.title));
  if (job_id <= 0) {
    HostError e = with_context(kSubmissionRejected, kCtxStartDoc, describe_system_error(device.last_error()));
    device.delete_dc();
    return e;
  }

  auto abandon = [&device](std::string_view context) {
    HostError e = with_context(kUnknownOutcome, context, describe_system_error(device.last_error()));
    device.abort_doc();
    device.delete_dc();
    return e;
  };
  const int w = static_cast<int>(job.raster.width);
  const int h = static_cast<int>(job.raster.height);
  for (uint16_t copy = 0; copy < job.copies; ++copy) {
    if (device.start_page() <= 0) return abandon(kCtxStartPage);
    const int drawn = device.stretch_dib_bits(place.x, place.y, place.width, place.height, w, h,
                                              job.raster.pixels.data());
    if (drawn == 0 || drawn == kGdiError) return abandon(kCtxRender);
    if (device.end_page() <= 0) return abandon(kCtxEndPage);
  }
  if (device.end_doc() <= 0) return abandon(kCtxEndDoc);
  device.delete_dc();
  return static_cast<uint32_t>(job_id);
}

}  // namespace tph
