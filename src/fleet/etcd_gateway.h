#pragma once
// etcd's v3 API as JSON over HTTPS, to whichever member answers: requests go
// to the member that last answered, then to the others in turn, all before
// one deadline. Signs in as the policy's etcd user, and again when the
// token has expired.

#include <chrono>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "fleet/fleet_policy.h"
#include "platform/fleet_link.h"
#include "support/host_error.h"

namespace tph {

using FleetDeadline = std::chrono::steady_clock::time_point;

// How a request may be sent again to another member after a failure.
enum class Resend : uint8_t {
  kAlways,         // a read: asking again changes nothing
  kIfNeverArrived  // a write: only when no member can have received it
};

struct GatewayFailure {
  HostError error;
  // A write may have been applied although no answer came.
  bool uncertain = false;
};

class EtcdGateway {
 public:
  EtcdGateway(const FleetPolicy& policy, FleetLink& link) : policy_(policy), link_(link) {}

  // The answer of `path` (e.g. "/v3/kv/txn") to `body`.
  Result<nlohmann::json, GatewayFailure> call(const char* path, const nlohmann::json& body, Resend resend,
                                              FleetDeadline deadline);

 private:
  enum class Outcome : uint8_t { kAnswered, kRefused, kNeverArrived, kMaybeArrived, kSignInAgain };
  Outcome post_once(size_t member, const char* path, const std::string& body, FleetDeadline deadline,
                    uint32_t try_ms, nlohmann::json& answer, std::string& why);
  Outcome sign_in(size_t member, FleetDeadline deadline, uint32_t try_ms, std::string& why);

  const FleetPolicy& policy_;
  FleetLink& link_;
  size_t preferred_ = 0;
  std::string token_;
};

}  // namespace tph
