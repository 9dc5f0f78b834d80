#pragma once
// What handing one job to the print system came to.

#include <cstdint>
#include <optional>

#include "support/host_error.h"

namespace tph {

// The number the print system gave the job (0 until it gave one) and, when
// the print did not complete, the error that ended it. A failed print can
// still name its job: an outcome left unknown points at it.
struct [[nodiscard]] PrintOutcome {
  uint32_t job_id = 0;
  std::optional<HostError> failure;

  bool ok() const { return !failure; }
  const HostError& error() const { return *failure; }
};

}  // namespace tph
