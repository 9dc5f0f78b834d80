#pragma once
// What a station owes the fleet: outcomes its own ledger holds that the
// shared ledger does not have yet (the fleet could not be reached when they
// happened, or the host stopped first). They are written when the fleet
// answers again, over the station's own last write only.

#include <cstddef>
#include <string>

#include "fleet/fleet_ledger.h"
#include "state/state_store.h"

namespace tph {

// This ledger's claim token of `intent_id`; made (and saved) with the
// ledger's secret the first time one is needed. Empty on failure, with
// the failure in `error`.
Result<std::string> ledger_claim_token(StateStore& store, const std::string& intent_id);

// A fresh random nonce naming one attempt of an intent (empty on failure).
std::string new_attempt_nonce();

// Writes up to `most` owed outcomes, stopping at the first the fleet does
// not take; saves the ledger when one was written. Needs the lock.
void publish_owed(StateStore& store, FleetLedger& fleet, size_t most);

}  // namespace tph
