#include "fleet/etcd_gateway.h"

#include <algorithm>

#include "support/error_catalogue.h"

namespace tph {
namespace {

using Json = nlohmann::json;
using SteadyClock = std::chrono::steady_clock;

// etcd's gRPC status codes, as its gateway writes them in an error's "code".
constexpr int kInvalidArgument = 3;
constexpr int kDeadlineExceeded = 4;
constexpr int kPermissionDenied = 7;
constexpr int kFailedPrecondition = 9;
constexpr int kUnavailable = 14;
constexpr int kUnauthenticated = 16;

uint32_t ms_until(FleetDeadline deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
  return left > 0 ? static_cast<uint32_t>(left) : 0;
}

bool contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

GatewayFailure failed(std::string why, bool uncertain) {
  return GatewayFailure{errors::make(errors::kFleetUnavailable, std::string(errors::kMsgFleetNoAnswer) + " (" + why + ")"),
                        uncertain};
}

}  // namespace

EtcdGateway::Outcome EtcdGateway::sign_in(size_t member, FleetDeadline deadline, uint32_t try_ms, std::string& why) {
  Json body = {{"name", policy_.user}, {"password", policy_.password}};
  Json answer;
  token_.clear();
  const Outcome o = post_once(member, "/v3/auth/authenticate", body.dump(), deadline, try_ms, answer, why);
  if (o != Outcome::kAnswered) return o == Outcome::kSignInAgain ? Outcome::kRefused : o;
  auto it = answer.find("token");
  // The token goes into a header of every request: visible ASCII only.
  auto visible = [](const std::string& t) {
    for (unsigned char c : t) {
      if (c <= 0x20 || c >= 0x7F) return false;
    }
    return true;
  };
  if (it == answer.end() || !it->is_string() || it->get_ref<const std::string&>().empty() ||
      it->get_ref<const std::string&>().size() > 4096 || !visible(it->get_ref<const std::string&>())) {
    why = policy_.endpoints[member] + ": the member gave no sign-in token";
    return Outcome::kMaybeArrived;
  }
  token_ = it->get<std::string>();
  return Outcome::kAnswered;
}

EtcdGateway::Outcome EtcdGateway::post_once(size_t member, const char* path, const std::string& body,
                                            FleetDeadline deadline, uint32_t try_ms, Json& answer, std::string& why) {
  const std::string& endpoint = policy_.endpoints[member];
  const uint32_t bound = std::max<uint32_t>(1, std::min(try_ms, ms_until(deadline)));
  OsResult<HttpAnswer> got = link_.post(endpoint + path, body, token_, bound);
  if (!got.ok()) {
    why = endpoint + ": " + got.error().description;
    return got.error().failed_as(OsErrorKind::kRefused) ? Outcome::kNeverArrived : Outcome::kMaybeArrived;
  }
  answer = Json::parse(got.value().body, nullptr, /*allow_exceptions=*/false);
  if (!answer.is_object()) {
    why = endpoint + ": HTTP " + std::to_string(got.value().status) + " without an etcd answer";
    return Outcome::kMaybeArrived;
  }
  auto error = answer.find("error");
  if (got.value().status == 200 && error == answer.end()) return Outcome::kAnswered;
  std::string text = error != answer.end() && error->is_string() ? error->get<std::string>() : std::string();
  if (text.size() > 512) text.resize(512);
  const int code = answer.contains("code") && answer["code"].is_number_integer() ? answer["code"].get<int>() : -1;
  why = endpoint + ": " + (text.empty() ? "HTTP " + std::to_string(got.value().status) : text);
  // A token the member does not know (expired, or given before the auth
  // store changed): signing in again mends it.
  if (code == kUnauthenticated || contains(text, "invalid auth token") || contains(text, "user name is empty") ||
      contains(text, "revision of auth store is old")) {
    return Outcome::kSignInAgain;
  }
  if (code == kPermissionDenied || code == kInvalidArgument || code == kFailedPrecondition ||
      contains(text, "permission denied") || contains(text, "authentication failed")) {
    return Outcome::kRefused;
  }
  (void)kDeadlineExceeded;
  (void)kUnavailable;
  // No leader, a leader change, a request that timed out inside the
  // cluster: a write may still be applied.
  return Outcome::kMaybeArrived;
}

Result<Json, GatewayFailure> EtcdGateway::call(const char* path, const Json& body, Resend resend,
                                              FleetDeadline deadline) {
  const size_t members = policy_.endpoints.size();
  const std::string text = body.dump();
  std::string why = "no member answered in time";
  bool maybe_arrived = false;
  bool signed_in_again = false;
  size_t member = preferred_ % members;
  // Each member is asked at most twice a call, and each try gets an equal
  // share of the time left, so that one member that hangs (stopped, or cut
  // off) cannot take the whole bound from the others.
  for (size_t tries = 0; tries < 2 * members;) {
    const uint32_t left = ms_until(deadline);
    if (left == 0) break;
    const size_t untried = members - std::min(members, tries % members);
    const uint32_t try_ms = std::max<uint32_t>(50, left / static_cast<uint32_t>(untried));
    if (!policy_.user.empty() && token_.empty()) {
      const Outcome signed_in = sign_in(member, deadline, try_ms, why);
      if (signed_in == Outcome::kRefused) {
        return GatewayFailure{errors::make(errors::kFleetUnavailable,
                                           std::string(errors::kMsgFleetRefused) + " (" + why + ")"),
                              maybe_arrived};
      }
      if (signed_in != Outcome::kAnswered) {
        ++tries;
        member = (member + 1) % members;
        continue;
      }
    }
    Json answer;
    switch (post_once(member, path, text, deadline, try_ms, answer, why)) {
      case Outcome::kAnswered:
        preferred_ = member;
        return answer;
      case Outcome::kRefused:
        return GatewayFailure{errors::make(errors::kFleetUnavailable,
                                           std::string(errors::kMsgFleetRefused) + " (" + why + ")"),
                              maybe_arrived};
      case Outcome::kSignInAgain:
        token_.clear();
        if (signed_in_again) return failed(why, maybe_arrived);
        signed_in_again = true;
        continue;
      case Outcome::kNeverArrived: break;
      case Outcome::kMaybeArrived:
        maybe_arrived = true;
        if (resend == Resend::kIfNeverArrived) return failed(why, true);
        break;
    }
    ++tries;
    member = (member + 1) % members;
    preferred_ = member;
  }
  return failed(why, maybe_arrived);
}

}  // namespace tph
