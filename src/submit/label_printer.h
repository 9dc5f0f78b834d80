#pragma once
#include <cstdint>
#include <string>

#include "host/host_error.h"
#include "platform/print_device.h"
#include "submit/label_payload.h"

namespace tph {

struct LabelJob {
  const std::string& printer;
  const std::string& title;
  uint32_t dpi;
  uint16_t copies;
  const DeviceRaster& raster;
};

// Prints one document with one page per copy, the label at its physical size
// and centred. Returns the spooler's job id, or an error whose code tells
// whether the attempt failed for certain (PRINTER_UNAVAILABLE, MEDIA_MISMATCH,
// SUBMISSION_REJECTED) or may have reached the spooler (UNKNOWN_OUTCOME). The
// device context is deleted on every path; a started document that did not
// complete is aborted.
Result<uint32_t> print_label(PrintDevice& device, const LabelJob& job);

}  // namespace tph
