#include "state/ledger_json.h"

#include <cstdint>
#include <limits>

#include "support/strict_json.h"

namespace tph {
namespace {

using Ordered = nlohmann::ordered_json;

Ordered record_to_json(const JobRecord& r) {
  Ordered o = Ordered::object();
  o["intent_id"] = r.intent_id;
  o["payload_sha256"] = r.payload_sha256;
  o["state"] = r.state;
  o["printer"] = r.printer;
  o["os_job_id"] = r.os_job_id;
  o["created_at_ms"] = r.created_at_ms;
  o["updated_at_ms"] = r.updated_at_ms;
  o["error_code"] = r.error_code;
  o["error_message"] = r.error_message;
  return o;
}

bool read_text(const Json& obj, const char* key, std::string& out) {
  auto it = obj.find(key);
  if (it == obj.end() || !it->is_string()) return false;
  out = it->get<std::string>();
  return true;
}

bool read_u64(const Json& obj, const char* key, uint64_t max, uint64_t& out) {
  auto it = obj.find(key);
  if (it == obj.end()) return false;
  auto n = json_unsigned(*it, max);
  if (!n) return false;
  out = *n;
  return true;
}

bool read_record(const Json& obj, JobRecord& r) {
  if (!obj.is_object()) return false;
  constexpr uint64_t kU64 = std::numeric_limits<uint64_t>::max();
  return read_text(obj, "intent_id", r.intent_id) && read_text(obj, "payload_sha256", r.payload_sha256) &&
         read_text(obj, "state", r.state) && read_text(obj, "printer", r.printer) &&
         read_text(obj, "os_job_id", r.os_job_id) && read_u64(obj, "created_at_ms", kU64, r.created_at_ms) &&
         read_u64(obj, "updated_at_ms", kU64, r.updated_at_ms) && read_text(obj, "error_code", r.error_code) &&
         read_text(obj, "error_message", r.error_message);
}

}  // namespace

std::optional<std::string> encode_pretty(const Ordered& document) {
  try {
    return document.dump(2, ' ', /*ensure_ascii=*/false, Ordered::error_handler_t::strict);
  } catch (const Ordered::exception&) {
    return std::nullopt;
  }
}

std::optional<std::string> encode_ledger(const HostLedger& ledger) {
  Ordered doc = Ordered::object();
  doc["schema"] = ledger.schema;
  doc["updated_at_ms"] = ledger.updated_at_ms;
  Ordered jobs = Ordered::object();
  for (const auto& [key, record] : ledger.jobs) jobs[key] = record_to_json(record);
  doc["jobs"] = std::move(jobs);
  return encode_pretty(doc);
}

std::optional<HostLedger> decode_ledger(std::string_view bytes) {
  StrictJson parsed = parse_strict_json(bytes);
  if (!parsed.ok || !parsed.value.is_object() || parsed.has_duplicate_in("")) return std::nullopt;
  const Json& doc = parsed.value;
  HostLedger ledger;
  uint64_t schema = 0;
  if (!read_u64(doc, "schema", std::numeric_limits<uint32_t>::max(), schema)) return std::nullopt;
  ledger.schema = static_cast<uint32_t>(schema);
  if (!read_u64(doc, "updated_at_ms", std::numeric_limits<uint64_t>::max(), ledger.updated_at_ms)) {
    return std::nullopt;
  }
  auto jobs = doc.find("jobs");
  if (jobs == doc.end() || !jobs->is_object()) return std::nullopt;
  // Equal record keys were already collapsed by the parser, the later record
  // winning; duplicate members inside a record are still refused.
  for (auto it = jobs->begin(); it != jobs->end(); ++it) {
    if (parsed.has_duplicate_in("/jobs/" + it.key())) return std::nullopt;
    JobRecord record;
    if (!read_record(it.value(), record)) return std::nullopt;
    ledger.jobs.emplace(it.key(), std::move(record));
  }
  return ledger;
}

}  // namespace tph
