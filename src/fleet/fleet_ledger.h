#pragma once
// The fleet's shared ledger: one record per intent_id under
// <prefix>/intents/, in an etcd cluster. A station claims an attempt before
// anything reaches its print system (a transaction that creates the record
// only if no record is there) and writes each outcome over its own last
// write only (a transaction that compares the record's revision with the
// one its own write got: revisions are unique in a cluster, so the compare
// names that write, its station and its token). The local ledger stays each
// station's journal.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fleet/etcd_gateway.h"
#include "fleet/fleet_policy.h"
#include "fleet/fleet_record.h"
#include "platform/fleet_link.h"
#include "state/ledger.h"

namespace tph {

// What a claim found.
struct Claimed {
  // The record is this station's claim (made now, or earlier with the same
  // token); else another's, in `stored`.
  bool ours = false;
  // Ours, and made by this attempt (its nonce): by this call, or by an
  // earlier call of the same attempt whose answer was lost.
  bool made_now = false;
  uint64_t revision = 0;  // the record's revision now
  FleetRecord stored;
};

struct FleetPage {
  std::vector<JobRecord> jobs;  // each with its station
  bool truncated = false;
};

class FleetLedger {
 public:
  // `user` is the account the host runs as, written into each claim.
  FleetLedger(FleetPolicy policy, FleetLink& link, std::string user);
  // A fleet whose policy could not be read or trusted: nothing prints, and
  // every claim and read answers `why`.
  FleetLedger(HostError why, FleetLink& link);

  const FleetPolicy& policy() const { return policy_; }
  // The time a print may wait for the fleet, from now.
  FleetDeadline deadline() const;

  // Claims `attempt` (its station and fleet_nonce set) with `token`. When the claim's
  // answer is lost, the record is read back: found with the token, it is
  // ours; found without, another's; not found, the claim failed. Fails
  // with FLEET_UNAVAILABLE when the fleet cannot tell.
  Result<Claimed> claim(const JobRecord& attempt, const std::string& token, FleetDeadline deadline);

  // Writes `record`'s state over this station's own write at
  // `record.fleet_revision`; on success `fleet_revision` and `fleet_state`
  // follow. An earlier write of the same state whose answer was lost is
  // taken as done. False when it could not be written now (tried again
  // later); a record another station holds is never written.
  bool publish(JobRecord& record, const std::string& token, FleetDeadline deadline);

  // The shared record of one intent (nothing: none).
  Result<std::optional<FleetRecord>> read(const std::string& intent_id, FleetDeadline deadline);
  // The shared records whose intent id starts with `intent_prefix`, newest
  // claim first, at most `limit`.
  Result<FleetPage> find(std::string_view intent_prefix, size_t limit, FleetDeadline deadline);

 private:
  std::string key_of(std::string_view intent_id) const;
  Result<std::optional<std::pair<FleetRecord, uint64_t>>> read_at(const std::string& intent_id,
                                                                  FleetDeadline deadline);

  FleetPolicy policy_;
  std::optional<HostError> broken_;
  EtcdGateway gateway_;
  std::string user_;
};

// The claim token of an intent for the ledger whose secret is `ledger_key`:
// the same for every attempt of the intent from this ledger, unguessable
// by any other.
std::string claim_token(std::string_view ledger_key, std::string_view intent_id);

}  // namespace tph
