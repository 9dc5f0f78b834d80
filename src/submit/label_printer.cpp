#include "submit/label_printer.h"

#include "submit/label_placement.h"
#include "support/error_catalogue.h"

namespace tph {
namespace {

std::string_view page_context(PageFailure::Step step) {
  switch (step) {
    case PageFailure::Step::kStart: return errors::kCtxStartPage;
    case PageFailure::Step::kDraw: return errors::kCtxRender;
    case PageFailure::Step::kEnd: return errors::kCtxEndPage;
  }
  return errors::kCtxRender;
}

}  // namespace

Result<uint32_t> print_label(std::unique_ptr<PrintDocument> document, const LabelJob& job,
                             const std::string& print_system, uint32_t& started_job_id) {
  using namespace errors;
  auto failure = [&print_system](ErrorCode code, std::string_view sentence, const OsStatus& s) {
    return with_context(code, named(sentence, print_system), s.description);
  };
  if (OsStatus s = document->open(job.printer); !s.ok) return failure(kPrinterUnavailable, kCtxOpenQueue, s);
  const LabelPlacement place = place_label(document->geometry(), job.raster.width, job.raster.height, job.dpi);
  if (!place.fits) return make(kMediaMismatch, named(kMsgMediaMismatch, print_system));

  OsResult<uint32_t> started = document->start(job.title);
  if (!started.ok()) return failure(kSubmissionRejected, kCtxStartDoc, started.error());
  const uint32_t job_id = started_job_id = started.value();
  // From here on a failure leaves the document unfinished, and releasing it
  // aborts it. The outcome is unknown once anything may have reached the
  // print system; before that the attempt failed for certain.
  auto unfinished = [&](std::string_view sentence, const OsStatus& s) {
    return failure(document->anything_sent() ? kUnknownOutcome : kSubmissionRejected, sentence, s);
  };
  const PageRect where{place.x, place.y, place.width, place.height};
  for (uint16_t copy = 0; copy < job.copies; ++copy) {
    const std::optional<PageFailure> page =
        document->print_page(where, job.raster.width, job.raster.height, job.raster.pixels.data());
    if (page) return unfinished(page_context(page->step), page->status);
  }
  if (OsStatus s = document->finish(); !s.ok) return unfinished(kCtxEndDoc, s);
  return job_id;
}

}  // namespace tph
