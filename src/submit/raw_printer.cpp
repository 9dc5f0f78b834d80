#include "submit/raw_printer.h"

#include "support/error_catalogue.h"

namespace tph {

PrintOutcome print_raw(std::unique_ptr<RawPrintJob> job, const RawJob& raw, const std::string& print_system) {
  using namespace errors;
  uint32_t job_id = 0;
  auto failure = [&](ErrorCode code, std::string_view sentence, const OsError& s) {
    return PrintOutcome::failed(job_id, with_context(code, named(sentence, print_system), s.description));
  };
  if (OsStatus s = job->open(raw.printer); !s.ok()) return failure(kPrinterUnavailable, kCtxOpenQueue, s.error());
  job->set_job_uuid(raw.job_uuid);
  OsResult<uint32_t> started = job->start(raw.title);
  if (!started.ok()) return failure(kSubmissionRejected, kCtxStartDoc, started.error());
  job_id = started.value();
  const auto* data = reinterpret_cast<const uint8_t*>(raw.bytes.data());
  for (uint16_t copy = 0; copy < raw.copies; ++copy) {
    if (OsStatus s = job->write(data, raw.bytes.size()); !s.ok()) return failure(kUnknownOutcome, kCtxRawWrite, s.error());
  }
  if (OsStatus s = job->finish(); !s.ok()) return failure(kUnknownOutcome, kCtxEndDoc, s.error());
  return PrintOutcome::submitted(job_id);
}

}  // namespace tph
