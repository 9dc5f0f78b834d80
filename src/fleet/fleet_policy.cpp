#include "fleet/fleet_policy.h"

#include <charconv>

#include "fleet/fleet_record.h"
#include "support/error_catalogue.h"

namespace tph {
namespace {

HostError bad(const std::string& what) {
  return errors::make(errors::kFleetUnavailable, "The machine's fleet policy is not valid: " + what + ".");
}

const std::string* value_of(const PolicyValues& values, const char* name) {
  auto it = values.find(name);
  return it == values.end() || it->second.empty() ? nullptr : &it->second;
}

bool printable_ascii(const std::string& text) {
  for (unsigned char c : text) {
    if (c <= 0x20 || c >= 0x7F) return false;
  }
  return true;
}

}  // namespace

Result<std::optional<FleetPolicy>> fleet_policy_from(const std::optional<PolicyValues>& values,
                                                    const std::string& machine, bool reads_tls_files) {
  if (!values) return std::optional<FleetPolicy>();
  static const char* const kKnown[] = {"endpoints", "prefix",   "ca_file", "cert_file", "key_file",
                                       "user",      "password", "station", "timeout_ms"};
  for (const auto& [name, _] : *values) {
    bool known = false;
    for (const char* k : kKnown) known = known || name == k;
    // A misspelt setting is refused rather than silently left out: it may
    // be the one that was meant to keep the station safe.
    if (!known) return bad("\"" + name + "\" is not a setting");
  }
  FleetPolicy policy;
  const std::string* endpoints = value_of(*values, "endpoints");
  if (endpoints == nullptr) return bad("it names no endpoints");
  size_t start = 0;
  while (start <= endpoints->size()) {
    size_t end = endpoints->find(',', start);
    if (end == std::string::npos) end = endpoints->size();
    std::string one = endpoints->substr(start, end - start);
    while (!one.empty() && one.back() == '/') one.pop_back();
    if (one.rfind("https://", 0) != 0 || one.size() <= 8 || !printable_ascii(one) ||
        one.find_first_of("/?#@", 8) != std::string::npos) {
      return bad("an endpoint is not https://host:port");
    }
    policy.endpoints.push_back(std::move(one));
    start = end + 1;
  }
  if (policy.endpoints.size() > kMaxFleetEndpoints) return bad("it names more than 16 endpoints");

  const std::string* prefix = value_of(*values, "prefix");
  if (prefix == nullptr || prefix->front() != '/' || prefix->back() == '/' || prefix->size() > kMaxFleetPrefixBytes ||
      !printable_ascii(*prefix)) {
    return bad("the prefix must start with \"/\", not end with one, and be at most 128 visible characters");
  }
  policy.prefix = *prefix;

  auto text = [&](const char* name) { const std::string* v = value_of(*values, name); return v ? *v : std::string(); };
  policy.tls.ca_file = text("ca_file");
  policy.tls.cert_file = text("cert_file");
  policy.tls.key_file = text("key_file");
  if (policy.tls.cert_file.empty() != policy.tls.key_file.empty()) return bad("a client certificate needs its key");
  if (!reads_tls_files && (!policy.tls.ca_file.empty() || !policy.tls.cert_file.empty())) {
    return bad("this system trusts the machine's certificate store and signs in as a user; "
               "ca_file, cert_file and key_file are not read here");
  }
  policy.user = text("user");
  policy.password = text("password");
  if (!policy.password.empty() && policy.user.empty()) return bad("a password needs its user");

  policy.station = text("station");
  if (policy.station.empty()) policy.station = machine;
  if (policy.station.empty() || policy.station.size() > kMaxStationBytes || !valid_station(policy.station)) {
    return bad("the station's name must be 1 to 128 visible characters");
  }
  if (const std::string* t = value_of(*values, "timeout_ms")) {
    uint32_t ms = 0;
    auto [end, ec] = std::from_chars(t->data(), t->data() + t->size(), ms);
    if (ec != std::errc() || end != t->data() + t->size() || ms < kMinFleetBoundMs || ms > kMaxFleetBoundMs) {
      return bad("timeout_ms must be between 100 and 60000");
    }
    policy.bound_ms = ms;
  }
  return std::optional<FleetPolicy>(std::move(policy));
}

}  // namespace tph
