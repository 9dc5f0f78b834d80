#pragma once
// What handing one job to the print system came to.

#include <cstdint>
#include <optional>

#include "support/host_error.h"

namespace tph {

// The number the print system gave the job (0 until it gave one) and, when
// the print did not complete, the error that ended it. A failed print can
// still name its job: an outcome left unknown points at it.
class [[nodiscard]] PrintOutcome {
 public:
  // The print system took the whole job `job_id`.
  static PrintOutcome submitted(uint32_t job_id) { return PrintOutcome(job_id, std::nullopt); }
  // The print ended with `error`; `job_id` is 0 when no job was numbered.
  static PrintOutcome failed(uint32_t job_id, HostError error) { return PrintOutcome(job_id, std::move(error)); }

  uint32_t job_id() const { return job_id_; }
  bool ok() const { return !failure_; }
  const HostError& error() const { return *failure_; }

 private:
  PrintOutcome(uint32_t job_id, std::optional<HostError> failure) : job_id_(job_id), failure_(std::move(failure)) {}
  uint32_t job_id_;
  std::optional<HostError> failure_;
};

}  // namespace tph
