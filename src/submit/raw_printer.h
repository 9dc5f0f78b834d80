#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "submit/print_outcome.h"
#include "platform/raw_print_job.h"
#include "support/host_error.h"

namespace tph {

struct RawJob {
  const std::string& printer;
  const std::string& title;
  const std::string& job_uuid;
  uint16_t copies;
  const std::string& bytes;
};

// Sends the bytes `copies` times in one raw job. Failures before the job
// started are certain (PRINTER_UNAVAILABLE, SUBMISSION_REJECTED); a failed
// write or finish may have reached the printer (UNKNOWN_OUTCOME). Messages
// name `print_system`. The job is closed on every path, and aborted when it
// did not finish.
PrintOutcome print_raw(std::unique_ptr<RawPrintJob> job, const RawJob& raw, const std::string& print_system);

}  // namespace tph
