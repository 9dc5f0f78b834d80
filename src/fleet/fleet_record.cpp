#include "fleet/fleet_record.h"

#include <nlohmann/json.hpp>

#include "state/attempt_state.h"

namespace tph {
namespace {

using Json = nlohmann::json;

bool no_controls(std::string_view text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

bool hex(std::string_view text) {
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

}  // namespace

bool valid_station(std::string_view name) { return !name.empty() && name.size() <= kMaxStationBytes && no_controls(name); }

std::string encode_fleet_record(const FleetRecord& fleet) {
  const JobRecord& r = fleet.record;
  Json j = Json::object();
  j["intent_id"] = r.intent_id;
  j["payload_sha256"] = r.payload_sha256;
  j["state"] = std::string(state_name(r.state));
  j["printer"] = r.printer;
  j["os_job_id"] = r.os_job_id;
  j["created_at_ms"] = r.created_at_ms;
  j["updated_at_ms"] = r.updated_at_ms;
  j["error_code"] = r.error_code;
  j["error_message"] = r.error_message;
  j["station"] = r.station;
  j["user"] = fleet.user;
  j["token"] = fleet.token;
  j["attempt"] = fleet.nonce;
  // Every text here came through the host's own checks (valid UTF-8); a
  // byte that is not would be replaced rather than stop the host.
  return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::optional<FleetRecord> parse_fleet_record(std::string_view value, std::string_view intent_id) {
  if (value.size() > kMaxFleetValueBytes) return std::nullopt;
  const Json j = Json::parse(value.begin(), value.end(), nullptr, /*allow_exceptions=*/false);
  if (!j.is_object()) return std::nullopt;
  FleetRecord out;
  JobRecord& r = out.record;
  auto text = [&](const char* name, size_t max, std::string& into) {
    auto it = j.find(name);
    if (it == j.end() || !it->is_string()) return false;
    const std::string& s = it->get_ref<const std::string&>();
    if (s.size() > max) return false;
    into = s;
    return true;
  };
  auto number = [&](const char* name, uint64_t& into) {
    auto it = j.find(name);
    if (it == j.end() || !it->is_number_unsigned()) return false;
    into = it->get<uint64_t>();
    return true;
  };
  namespace lim = record_limits;
  std::string state;
  if (!text("intent_id", lim::kIntentId, r.intent_id) || r.intent_id != intent_id ||
      !text("payload_sha256", lim::kFingerprint, r.payload_sha256) || !text("state", lim::kState, state) ||
      !text("printer", lim::kPrinter, r.printer) || !text("os_job_id", lim::kOsJobId, r.os_job_id) ||
      !number("created_at_ms", r.created_at_ms) || !number("updated_at_ms", r.updated_at_ms) ||
      !text("error_code", lim::kErrorCode, r.error_code) ||
      !text("error_message", lim::kErrorMessage, r.error_message) || !text("station", kMaxStationBytes, r.station) ||
      !text("user", kMaxAccountBytes, out.user) || !text("token", kClaimTokenChars, out.token) ||
      !text("attempt", kAttemptNonceChars, out.nonce)) {
    return std::nullopt;
  }
  std::optional<JobState> parsed = parse_state(state);
  if (!parsed || !valid_station(r.station) || out.token.size() != kClaimTokenChars || !hex(out.token) ||
      out.nonce.size() != kAttemptNonceChars || !hex(out.nonce)) {
    return std::nullopt;
  }
  r.state = *parsed;
  return out;
}

}  // namespace tph
