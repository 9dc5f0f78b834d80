#include "fleet/fleet_sync.h"

#include <chrono>
#include <random>

#include "state/attempt_state.h"
#include "support/error_catalogue.h"

namespace tph {
namespace {

// 256 bits from the system's random source.
std::optional<std::string> new_ledger_key() {
  try {
    std::random_device device;
    static constexpr char kHex[] = "0123456789abcdef";
    std::string key;
    for (int i = 0; i < 8; ++i) {
      uint32_t word = device();
      for (int j = 0; j < 8; ++j, word >>= 4) key += kHex[word & 15];
    }
    return key;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace

Result<std::string> ledger_claim_token(StateStore& store, const std::string& intent_id) {
  if (store.ledger.fleet_key.empty()) {
    std::optional<std::string> key = new_ledger_key();
    if (!key) return errors::make(errors::kFleetUnavailable, "The system gave no random numbers for a claim.");
    store.ledger.fleet_key = *key;
    // Saved before any claim is made with it: a token the ledger could not
    // make again would leave its claims no station's.
    if (Status s = save_ledger(store); !s.ok()) {
      store.ledger.fleet_key.clear();
      return s.take_error();
    }
  }
  std::string token = claim_token(store.ledger.fleet_key, intent_id);
  if (token.empty()) return errors::make(errors::kFleetUnavailable, "The claim's token could not be computed.");
  return token;
}

std::string new_attempt_nonce() {
  std::optional<std::string> key = new_ledger_key();
  return key ? key->substr(0, kAttemptNonceChars) : std::string();
}

void publish_owed(StateStore& store, FleetLedger& fleet, size_t most) {
  if (store.ledger.fleet_key.empty() || !store.held) return;
  // Owed outcomes wait their turn behind the request at hand: a quarter of
  // the bound, and none when the fleet does not answer the first.
  const FleetDeadline deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(fleet.policy().bound_ms / 4);
  bool wrote = false;
  for (auto& [intent, record] : store.ledger.jobs) {
    if (most == 0) break;
    if (!owes_fleet(record)) continue;
    --most;
    const std::string before = record.fleet_state;
    const bool written = fleet.publish(record, claim_token(store.ledger.fleet_key, intent), deadline);
    wrote = wrote || record.fleet_state != before;
    if (!written && record.fleet_state == before) break;
  }
  if (wrote) (void)save_ledger(store);
}

}  // namespace tph
