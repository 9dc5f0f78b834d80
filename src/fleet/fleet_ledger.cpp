#include "fleet/fleet_ledger.h"

#include <charconv>

#include "platform/sha256.h"
#include "state/attempt_state.h"
#include "support/base64.h"
#include "support/error_catalogue.h"

namespace tph {
namespace {

using Json = nlohmann::json;

// etcd's JSON writes 64-bit numbers as texts, and leaves out zeros.
uint64_t number_in(const Json& object, const char* name) {
  auto it = object.find(name);
  if (it == object.end()) return 0;
  if (it->is_number_unsigned()) return it->get<uint64_t>();
  if (!it->is_string()) return 0;
  const std::string& text = it->get_ref<const std::string&>();
  uint64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size() ? value : 0;
}

const Json* member(const Json& object, const char* name) {
  if (!object.is_object()) return nullptr;
  auto it = object.find(name);
  return it == object.end() ? nullptr : &*it;
}

// The first key-value of a range answer (nothing when the key is absent).
const Json* first_kv(const Json& range) {
  const Json* kvs = member(range, "kvs");
  if (kvs == nullptr || !kvs->is_array() || kvs->empty()) return nullptr;
  return &(*kvs)[0];
}

std::string text_in(const Json& object, const char* name) {
  const Json* m = member(object, name);
  return m != nullptr && m->is_string() ? m->get<std::string>() : std::string();
}

HostError unreadable() { return errors::make(errors::kFleetUnavailable, errors::kMsgFleetUnreadable); }

// A stored key-value as a record of `intent_id`, with its revision.
Result<std::pair<FleetRecord, uint64_t>> record_of(const Json& kv, std::string_view intent_id) {
  std::optional<std::string> value = decode_base64_strict(text_in(kv, "value"));
  if (!value) return unreadable();
  std::optional<FleetRecord> record = parse_fleet_record(*value, intent_id);
  if (!record) return unreadable();
  return std::pair<FleetRecord, uint64_t>{std::move(*record), number_in(kv, "mod_revision")};
}

// The smallest key after every key that starts with `prefix`.
std::string range_end_of(std::string prefix) {
  while (!prefix.empty() && static_cast<unsigned char>(prefix.back()) == 0xFF) prefix.pop_back();
  if (prefix.empty()) return std::string(1, '\0');  // every key
  prefix.back() = static_cast<char>(static_cast<unsigned char>(prefix.back()) + 1);
  return prefix;
}

}  // namespace

std::string claim_token(std::string_view ledger_key, std::string_view intent_id) {
  Sha256 sha;
  sha.update(ledger_key.data(), ledger_key.size());
  sha.update("\n", 1);
  sha.update(intent_id.data(), intent_id.size());
  OsResult<std::array<uint8_t, 32>> digest = sha.finish();
  if (!digest.ok()) return std::string();
  static constexpr char kHex[] = "0123456789abcdef";
  std::string token;
  for (size_t i = 0; i < kClaimTokenChars / 2; ++i) {
    token += kHex[digest.value()[i] >> 4];
    token += kHex[digest.value()[i] & 15];
  }
  return token;
}

FleetLedger::FleetLedger(FleetPolicy policy, FleetLink& link, std::string user)
    : policy_(std::move(policy)), gateway_(policy_, link), user_(std::move(user)) {}

FleetLedger::FleetLedger(HostError why, FleetLink& link) : broken_(std::move(why)), gateway_(policy_, link) {}

FleetDeadline FleetLedger::deadline() const {
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(policy_.bound_ms);
}

std::string FleetLedger::key_of(std::string_view intent_id) const {
  return policy_.prefix + "/intents/" + std::string(intent_id);
}

Result<std::optional<std::pair<FleetRecord, uint64_t>>> FleetLedger::read_at(const std::string& intent_id,
                                                                            FleetDeadline deadline) {
  if (broken_) return *broken_;
  Json body = {{"key", encode_base64(key_of(intent_id))}};
  auto answer = gateway_.call("/v3/kv/range", body, Resend::kAlways, deadline);
  if (!answer.ok()) return answer.error().error;
  const Json* kv = first_kv(answer.value());
  if (kv == nullptr) return std::optional<std::pair<FleetRecord, uint64_t>>();
  auto record = record_of(*kv, intent_id);
  if (!record.ok()) return record.take_error();
  return std::optional<std::pair<FleetRecord, uint64_t>>(std::move(record.value()));
}

Result<Claimed> FleetLedger::claim(const JobRecord& attempt, const std::string& token, FleetDeadline deadline) {
  if (broken_) return *broken_;
  const std::string key = encode_base64(key_of(attempt.intent_id));
  const std::string value = encode_base64(encode_fleet_record(FleetRecord{attempt, user_, token, attempt.fleet_nonce}));
  Json txn = {
      {"compare", Json::array({{{"key", key}, {"target", "CREATE"}, {"result", "EQUAL"}, {"create_revision", "0"}}})},
      {"success", Json::array({{{"request_put", {{"key", key}, {"value", value}}}}})},
      {"failure", Json::array({{{"request_range", {{"key", key}}}}})},
  };
  // The claim may wait for half the bound; reading it back, the rest.
  const FleetDeadline now = std::chrono::steady_clock::now();
  const FleetDeadline claim_by = now + (deadline - now) / 2;
  auto answer = gateway_.call("/v3/kv/txn", txn, Resend::kIfNeverArrived, claim_by);
  if (answer.ok()) {
    const Json& a = answer.value();
    const Json* succeeded = member(a, "succeeded");
    if (succeeded != nullptr && succeeded->is_boolean() && succeeded->get<bool>()) {
      const Json* header = member(a, "header");
      const uint64_t revision = header != nullptr ? number_in(*header, "revision") : 0;
      if (revision == 0) return unreadable();
      return Claimed{true, true, revision, FleetRecord{attempt, user_, token, attempt.fleet_nonce}};
    }
    const Json* responses = member(a, "responses");
    const Json* kv = nullptr;
    if (responses != nullptr && responses->is_array() && !responses->empty()) {
      if (const Json* range = member((*responses)[0], "response_range")) kv = first_kv(*range);
    }
    if (kv == nullptr) return unreadable();
    auto stored = record_of(*kv, attempt.intent_id);
    if (!stored.ok()) return stored.take_error();
    const bool ours = stored.value().first.token == token;
    // Ours and this attempt's: the claim was made by an earlier send of
    // this very request, whose answer was lost on the way.
    const bool this_attempt = ours && stored.value().first.nonce == attempt.fleet_nonce;
    return Claimed{ours, this_attempt, stored.value().second, std::move(stored.value().first)};
  }
  // No answer: the claim may or may not stand. Only reading it back can
  // tell; claiming again could not (a claim of ours would read as taken).
  auto back = read_at(attempt.intent_id, deadline);
  if (!back.ok()) return back.take_error();
  if (!back.value()) return answer.error().error;  // not made (or not yet): nothing may print
  const bool ours = back.value()->first.token == token;
  const bool this_attempt = ours && back.value()->first.nonce == attempt.fleet_nonce;
  return Claimed{ours, this_attempt, back.value()->second, std::move(back.value()->first)};
}

bool FleetLedger::publish(JobRecord& record, const std::string& token, FleetDeadline deadline) {
  if (broken_) return false;
  const std::string key = encode_base64(key_of(record.intent_id));
  const std::string state(state_name(record.state));
  // Two tries: the second over our own write whose answer was lost.
  for (int round = 0; round < 2; ++round) {
    const std::string value = encode_base64(encode_fleet_record(FleetRecord{record, user_, token, record.fleet_nonce}));
    Json txn = {
        {"compare", Json::array({{{"key", key}, {"target", "MOD"}, {"result", "EQUAL"},
                                  {"mod_revision", std::to_string(record.fleet_revision)}}})},
        {"success", Json::array({{{"request_put", {{"key", key}, {"value", value}}}}})},
        {"failure", Json::array({{{"request_range", {{"key", key}}}}})},
    };
    auto answer = gateway_.call("/v3/kv/txn", txn, Resend::kIfNeverArrived, deadline);
    if (!answer.ok()) return false;
    const Json& a = answer.value();
    const Json* succeeded = member(a, "succeeded");
    if (succeeded != nullptr && succeeded->is_boolean() && succeeded->get<bool>()) {
      const Json* header = member(a, "header");
      const uint64_t revision = header != nullptr ? number_in(*header, "revision") : 0;
      if (revision == 0) return false;
      record.fleet_revision = revision;
      record.fleet_state = state;
      return true;
    }
    const Json* responses = member(a, "responses");
    const Json* kv = nullptr;
    if (responses != nullptr && responses->is_array() && !responses->empty()) {
      if (const Json* range = member((*responses)[0], "response_range")) kv = first_kv(*range);
    }
    if (kv == nullptr) return false;
    auto stored = record_of(*kv, record.intent_id);
    if (!stored.ok()) return false;
    const FleetRecord& now = stored.value().first;
    if (now.token != token || now.nonce != record.fleet_nonce) {
      // Another station's record, or another attempt's: never written over,
      // and nothing more is tried.
      record.fleet_state = std::string(kClaimTaken);
      return false;
    }
    record.fleet_revision = stored.value().second;
    if (state_name(now.record.state) == state && now.record.os_job_id == record.os_job_id) {
      record.fleet_state = state;
      return true;
    }
  }
  return false;
}

Result<std::optional<FleetRecord>> FleetLedger::read(const std::string& intent_id, FleetDeadline deadline) {
  auto found = read_at(intent_id, deadline);
  if (!found.ok()) return found.take_error();
  if (!found.value()) return std::optional<FleetRecord>();
  return std::optional<FleetRecord>(std::move(found.value()->first));
}

Result<FleetPage> FleetLedger::find(std::string_view intent_prefix, size_t limit, FleetDeadline deadline) {
  if (broken_) return *broken_;
  const std::string base = policy_.prefix + "/intents/";
  const std::string from = base + std::string(intent_prefix);
  Json body = {{"key", encode_base64(from)},
               {"range_end", encode_base64(range_end_of(from))},
               {"limit", std::to_string(limit + 1)},
               {"sort_order", "DESCEND"},
               {"sort_target", "CREATE"}};
  auto answer = gateway_.call("/v3/kv/range", body, Resend::kAlways, deadline);
  if (!answer.ok()) return answer.error().error;
  FleetPage page;
  const Json* kvs = member(answer.value(), "kvs");
  if (kvs == nullptr || !kvs->is_array()) return page;
  for (const Json& kv : *kvs) {
    if (page.jobs.size() == limit) {
      page.truncated = true;
      break;
    }
    std::optional<std::string> key = decode_base64_strict(text_in(kv, "key"));
    if (!key || key->rfind(base, 0) != 0) return unreadable();
    // A record no host wrote does not hide the fleet's others.
    auto record = record_of(kv, std::string_view(*key).substr(base.size()));
    if (!record.ok()) continue;
    page.jobs.push_back(std::move(record.value().first.record));
  }
  if (number_in(answer.value(), "count") > page.jobs.size()) page.truncated = true;
  return page;
}

}  // namespace tph
