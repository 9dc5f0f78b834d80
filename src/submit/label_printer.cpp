#include "submit/label_printer.h"

#include "submit/label_placement.h"
#include "submit/png_chunks.h"
#include "support/error_catalogue.h"

namespace tph {
namespace {

using namespace errors;

std::string_view page_context(PageFailure::Step step) {
  switch (step) {
    case PageFailure::Step::kStart: return kCtxStartPage;
    case PageFailure::Step::kDraw: return kCtxRender;
    case PageFailure::Step::kEnd: return kCtxEndPage;
  }
  return kCtxRender;
}

}  // namespace

PngSize PngPages::size(size_t page) const {
  const auto* png = reinterpret_cast<const uint8_t*>(pngs_[page].data());  // checked: the header is there
  return {read_be32(png + 16), read_be32(png + 20)};
}

Result<const DeviceRaster*> PngPages::raster(size_t page) {
  if (decoded_ == page) return &raster_;
  raster_ = DeviceRaster{};  // free the last page before the next one is had
  decoded_ = SIZE_MAX;
  Result<DeviceRaster, DecodeFailure> decoded = decode_png(pngs_[page], /*already_checked=*/true);
  if (!decoded.ok()) {
    if (decoded.error() == DecodeFailure::kOutOfMemory) return make(kPayloadTooLarge, kMsgOutOfMemory);
    return make(kBadRequest, named(kMsgSecondDecode, print_system_));
  }
  raster_ = std::move(decoded.value());
  decoded_ = page;
  return &raster_;
}

PrintOutcome print_label(std::unique_ptr<PrintDocument> document, const LabelJob& job,
                         const std::string& print_system) {
  uint32_t job_id = 0;
  auto ended = [&job_id](HostError error) { return PrintOutcome::failed(job_id, std::move(error)); };
  auto failure = [&](ErrorCode code, std::string_view sentence, const OsError& s) {
    return ended(with_context(code, named(sentence, print_system), s.description));
  };
  const size_t pages = job.pages.count();
  auto for_page = [&](size_t page, HostError error) {
    return ended(pages > 1 ? on_page(page, std::move(error)) : std::move(error));
  };
  if (OsStatus s = document->open(job.printer); !s.ok()) return failure(kPrinterUnavailable, kCtxOpenQueue, s.error());
  const DocumentGeometry geometry = document->geometry();
  for (size_t page = 0; page < pages; ++page) {
    const PngSize size = job.pages.size(page);
    if (!place_label(geometry, size.width, size.height, job.dpi).fits) {
      return for_page(page, make(kMediaMismatch, named(kMsgMediaMismatch, print_system)));
    }
  }

  document->set_job_uuid(job.job_uuid);
  OsResult<uint32_t> started = document->start(job.title);
  if (!started.ok()) return failure(kSubmissionRejected, kCtxStartDoc, started.error());
  job_id = started.value();
  // From here on a failure leaves the document unfinished, and releasing it
  // aborts it. The outcome is unknown once anything may have reached the
  // print system; before that the attempt failed for certain.
  auto unfinished_code = [&](ErrorCode certain) { return document->anything_sent() ? kUnknownOutcome : certain; };
  for (uint16_t copy = 0; copy < job.copies; ++copy) {
    for (size_t page = 0; page < pages; ++page) {
      Result<const DeviceRaster*> raster = job.pages.raster(page);
      if (!raster.ok()) {
        HostError e = raster.take_error();
        e.code = unfinished_code(e.code);
        return for_page(page, std::move(e));
      }
      const DeviceRaster& r = *raster.value();
      const LabelPlacement place = place_label(geometry, r.width, r.height, job.dpi);
      const PageRect where{place.x, place.y, place.width, place.height};
      if (PageStatus printed = document->print_page(where, r.width, r.height, r.pixels.data()); !printed.ok()) {
        const PageFailure& f = printed.error();
        return for_page(page, with_context(unfinished_code(kSubmissionRejected), named(page_context(f.step), print_system),
                                           f.status.description));
      }
    }
  }
  if (OsStatus s = document->finish(); !s.ok()) return failure(unfinished_code(kSubmissionRejected), kCtxEndDoc, s.error());
  return PrintOutcome::submitted(job_id);
}

}  // namespace tph
