#pragma once
// A fleet's settings as the machine policy gives them, checked: where the
// shared ledger is (its etcd members, always https://), the key prefix the
// fleet's records live under, how the station proves who it is (a client
// certificate, or an etcd user), what it is called, and how long a print may
// wait for the fleet before it is refused.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/fleet_link.h"
#include "platform/machine_policy.h"
#include "support/host_error.h"

namespace tph {

struct FleetPolicy {
  std::vector<std::string> endpoints;  // https://host:port, tried in turn
  std::string prefix;                  // e.g. "/fleets/dock-3"; records are under <prefix>/intents/
  FleetTls tls;
  std::string user;  // an etcd user, with its password; empty: the client certificate's name
  std::string password;
  std::string station;  // the policy's, or the machine's name
  uint32_t bound_ms = 3000;
};

inline constexpr uint32_t kMinFleetBoundMs = 100;
inline constexpr uint32_t kMaxFleetBoundMs = 60000;
inline constexpr size_t kMaxFleetEndpoints = 16;
inline constexpr size_t kMaxFleetPrefixBytes = 128;

// The policy's values read as a fleet: nothing when the machine has no
// policy; a failure naming what is wrong with a policy that is there.
// `reads_tls_files`: whether this platform's link honours ca_file,
// cert_file and key_file; where it does not, a policy naming them is
// refused rather than followed in part.
Result<std::optional<FleetPolicy>> fleet_policy_from(const std::optional<PolicyValues>& values,
                                                    const std::string& machine, bool reads_tls_files = true);

}  // namespace tph
