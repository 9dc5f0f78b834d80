#pragma once
// What a print attempt may use: the open durable state, the clock, ways to
// open a fresh document or raw job on the print system, and how that system
// is named.
// Borrowed for one request.

#include <functional>
#include <memory>

#include "platform/clock.h"
#include "platform/platform_info.h"
#include "platform/print_document.h"
#include "platform/raw_print_job.h"
#include "fleet/fleet_ledger.h"
#include "state/state_store.h"

namespace tph {

struct PrintContext {
  StateStore& state;
  Clock& clock;
  std::function<std::unique_ptr<PrintDocument>()> new_document;
  const PlatformInfo& info;
  std::function<std::unique_ptr<RawPrintJob>()> new_raw_job;
  // The fleet's shared ledger, when the machine's policy names one: each
  // attempt is claimed there before it prints. Null: this station alone.
  FleetLedger* fleet = nullptr;
};

}  // namespace tph
