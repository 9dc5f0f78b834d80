#pragma once
#include <cstdint>
#include <string>

#include "platform/print_document.h"
#include "submit/label_payload.h"
#include "support/host_error.h"

namespace tph {

struct LabelJob {
  const std::string& printer;
  const std::string& title;
  uint32_t dpi;
  uint16_t copies;
  const DeviceRaster& raster;
};

// Prints one document with one page per copy, the label at its physical size
// and centred. Returns the print system's job id, or an error whose code
// tells whether the attempt failed for certain (PRINTER_UNAVAILABLE,
// MEDIA_MISMATCH, SUBMISSION_REJECTED, or a page failure while the document
// says nothing was sent yet) or may have reached the print system
// (UNKNOWN_OUTCOME). Messages name `print_system`. The document is released
// on every path; a started one that did not complete is aborted.
// `started_job_id` is set once the print system numbered the document.
Result<uint32_t> print_label(std::unique_ptr<PrintDocument> document, const LabelJob& job,
                             const std::string& print_system, uint32_t& started_job_id);

}  // namespace tph
