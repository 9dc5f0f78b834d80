#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "submit/print_outcome.h"
#include "platform/print_document.h"
#include "submit/label_payload.h"
#include "support/host_error.h"

namespace tph {

// The pages of one document: each page's size is known before anything is
// printed; its device raster is made when the page is drawn, so a document
// holds one page's raster at a time.
class LabelPages {
 public:
  virtual ~LabelPages() = default;
  virtual size_t count() const = 0;
  virtual PngSize size(size_t page) const = 0;
  // The page's device raster, valid until the next call.
  virtual Result<const DeviceRaster*> raster(size_t page) = 0;
};

// One raster already decoded: a single label.
class OneRaster final : public LabelPages {
 public:
  explicit OneRaster(const DeviceRaster& raster) : raster_(raster) {}
  size_t count() const override { return 1; }
  PngSize size(size_t) const override { return {raster_.width, raster_.height}; }
  Result<const DeviceRaster*> raster(size_t) override { return &raster_; }

 private:
  const DeviceRaster& raster_;
};

// PNG pages whose bytes passed check_png_decodes, decoded one at a time
// (the previous page's raster is freed first).
class PngPages final : public LabelPages {
 public:
  PngPages(const std::vector<std::string>& pngs, const std::string& print_system)
      : pngs_(pngs), print_system_(print_system) {}
  size_t count() const override { return pngs_.size(); }
  PngSize size(size_t page) const override;
  Result<const DeviceRaster*> raster(size_t page) override;

 private:
  const std::vector<std::string>& pngs_;
  const std::string& print_system_;
  DeviceRaster raster_;
  size_t decoded_ = SIZE_MAX;
};

struct LabelJob {
  const std::string& printer;
  const std::string& title;
  const std::string& job_uuid;
  uint32_t dpi;
  uint16_t copies;
  LabelPages& pages;
};

// Prints one document: every page, in order, `copies` times (collated),
// each at its physical size and centred. A page that does not fit refuses
// the whole document before it starts. Returns the print system's job id,
// or an error whose code tells whether the attempt failed for certain
// (PRINTER_UNAVAILABLE, MEDIA_MISMATCH, SUBMISSION_REJECTED, or a page
// failure while the document says nothing was sent yet) or may have reached
// the print system (UNKNOWN_OUTCOME). Messages name `print_system`, and the
// page when the document has more than one. The document is released on
// every path; a started one that did not complete is aborted.
PrintOutcome print_label(std::unique_ptr<PrintDocument> document, const LabelJob& job,
                         const std::string& print_system);

}  // namespace tph
