// What an etcd member answers, and what the fleet's records hold, are
// outside bytes: a member (or something posing as one) may answer anything.
// Whatever it answers, a claim is settled, refused or made, never printed
// on a record that is not this station's; the stored record is read as one
// this host writes or not at all.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fleet/fleet_ledger.h"
#include "fleet/fleet_record.h"
#include "state/attempt_state.h"

namespace {

// A member that answers every request with the fuzzer's bytes.
class EchoMember : public tph::FleetLink {
 public:
  explicit EchoMember(std::string body) : body_(std::move(body)) {}
  tph::OsResult<tph::HttpAnswer> post(const std::string&, const std::string&, const std::string&, uint32_t) override {
    return tph::HttpAnswer{200, body_};
  }

 private:
  std::string body_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  if (std::optional<tph::FleetRecord> r = tph::parse_fleet_record(input, "i-1")) {
    if (r->record.intent_id != "i-1" || r->token.size() != tph::kClaimTokenChars) std::abort();
    if (!tph::valid_station(r->record.station)) std::abort();
  }
  EchoMember member(input);
  tph::FleetPolicy policy;
  policy.endpoints = {"https://127.0.0.1:1"};
  policy.prefix = "/f";
  policy.station = "s";
  policy.bound_ms = 1000;
  tph::FleetLedger fleet(policy, member, "u");
  const std::string token(tph::kClaimTokenChars, 'a');
  tph::JobRecord attempt = tph::begin_attempt("i-1", std::string(64, 'a'), "Q", 1);
  attempt.station = "s";
  attempt.fleet_nonce = "0123456789abcdef";
  tph::Result<tph::Claimed> claimed = fleet.claim(attempt, token, fleet.deadline());
  // A claim that reads as ours carries our token, whatever the member said.
  if (claimed.ok() && claimed.value().ours && claimed.value().stored.token != token) std::abort();
  (void)fleet.read("i-1", fleet.deadline());
  (void)fleet.find("i", 50, fleet.deadline());
  attempt.fleet_revision = 7;
  (void)fleet.publish(attempt, token, fleet.deadline());
  return 0;
}
