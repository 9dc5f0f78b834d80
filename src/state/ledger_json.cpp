#include "state/ledger_json.h"

#include <cstdint>
#include <limits>

#include "support/strict_json.h"

namespace tph {
namespace {

using Ordered = nlohmann::ordered_json;

// Appends `s` as a JSON string: quotation mark, reverse solidus and control
// characters escaped (short forms where they exist, else \u00xx in lower
// case), everything else as it is. False when `s` is not valid UTF-8.
// Written by hand because building an ordered JSON document first costs
// quadratic time in the number of records.
bool append_json_string(std::string& out, std::string_view s) {
  static const char* kHex = "0123456789abcdef";
  out += '"';
  size_t i = 0;
  while (i < s.size()) {
    // Copy a run of printable ASCII that needs no escape in one go.
    size_t run = i;
    while (run < s.size()) {
      const auto c = static_cast<unsigned char>(s[run]);
      if (c < 0x20 || c >= 0x80 || c == '"' || c == '\\') break;
      ++run;
    }
    out.append(s.data() + i, run - i);
    i = run;
    if (i == s.size()) break;
    const auto c = static_cast<unsigned char>(s[i]);
    switch (c) {
      case '"': out += "\\\""; ++i; continue;
      case '\\': out += "\\\\"; ++i; continue;
      case '\b': out += "\\b"; ++i; continue;
      case '\f': out += "\\f"; ++i; continue;
      case '\n': out += "\\n"; ++i; continue;
      case '\r': out += "\\r"; ++i; continue;
      case '\t': out += "\\t"; ++i; continue;
      default: break;
    }
    if (c < 0x20) {
      out += "\\u00";
      out += kHex[c >> 4];
      out += kHex[c & 15];
      ++i;
      continue;
    }
    // A multi-byte sequence: check it, then copy it whole.
    const size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
    if (len == 0 || c > 0xF4 || i + len > s.size()) return false;
    uint32_t cp = c & (0xFF >> (len + 1));
    for (size_t k = 1; k < len; ++k) {
      const auto b = static_cast<unsigned char>(s[i + k]);
      if ((b & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (b & 0x3F);
    }
    if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))) {
      return false;
    }
    out.append(s.data() + i, len);
    i += len;
  }
  out += '"';
  return true;
}

bool append_record(std::string& out, const std::string& key, const JobRecord& r) {
  bool ok = true;
  auto text = [&](const char* name, const std::string& value, bool last = false) {
    out += "      \"";
    out += name;
    out += "\": ";
    ok = append_json_string(out, value) && ok;
    out += last ? "\n" : ",\n";
  };
  auto number = [&](const char* name, uint64_t value) {
    out += "      \"";
    out += name;
    out += "\": ";
    out += std::to_string(value);
    out += ",\n";
  };
  out += "    ";
  ok = append_json_string(out, key);
  out += ": {\n";
  text("intent_id", r.intent_id);
  text("payload_sha256", r.payload_sha256);
  text("state", r.state);
  text("printer", r.printer);
  text("os_job_id", r.os_job_id);
  number("created_at_ms", r.created_at_ms);
  number("updated_at_ms", r.updated_at_ms);
  text("error_code", r.error_code);
  text("error_message", r.error_message, true);
  out += "    }";
  return ok;
}

// Takes the text out of the parsed document rather than copying it: the
// document is dropped right after the ledger is read.
bool read_text(Json& obj, const char* key, std::string& out) {
  auto it = obj.find(key);
  if (it == obj.end() || !it->is_string()) return false;
  out = std::move(it->get_ref<std::string&>());
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

bool read_record(Json& obj, JobRecord& r) {
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
  std::string out;
  out.reserve(64 + ledger.jobs.size() * 400);
  out += "{\n  \"schema\": " + std::to_string(ledger.schema) + ",\n  \"updated_at_ms\": " +
         std::to_string(ledger.updated_at_ms) + ",\n  \"jobs\": {";
  bool first = true;
  for (const auto& [key, record] : ledger.jobs) {
    out += first ? "\n" : ",\n";
    first = false;
    if (!append_record(out, key, record)) return std::nullopt;
  }
  out += first ? "}\n}" : "\n  }\n}";
  return out;
}

// The document and every record refuse any member name given twice; of
// either only the members read are built. `jobs` is a map keyed by data, in
// which a later record replaces an earlier one of the same key.
static const JsonShape& ledger_shape() {
  static const JsonShape record{
      {{"intent_id", &kScalarShape}, {"payload_sha256", &kScalarShape}, {"state", &kScalarShape},
       {"printer", &kScalarShape}, {"os_job_id", &kScalarShape}, {"created_at_ms", &kScalarShape},
       {"updated_at_ms", &kScalarShape}, {"error_code", &kScalarShape}, {"error_message", &kScalarShape}},
      nullptr, {}, /*every_name_unique=*/true};
  static const JsonShape jobs{{}, &record};
  static const JsonShape document{
      {{"schema", &kScalarShape}, {"updated_at_ms", &kScalarShape}, {"jobs", &jobs}}, nullptr, {},
      /*every_name_unique=*/true};
  return document;
}

std::optional<HostLedger> decode_ledger(std::string_view bytes) {
  StrictJson parsed = parse_strict_json(bytes, ledger_shape());
  if (!parsed.ok || !parsed.value.is_object() || parsed.has_repeated_member(parsed.value)) return std::nullopt;
  Json& doc = parsed.value;
  HostLedger ledger;
  uint64_t schema = 0;
  if (!read_u64(doc, "schema", std::numeric_limits<uint32_t>::max(), schema)) return std::nullopt;
  ledger.schema = static_cast<uint32_t>(schema);
  if (!read_u64(doc, "updated_at_ms", std::numeric_limits<uint64_t>::max(), ledger.updated_at_ms)) {
    return std::nullopt;
  }
  auto jobs = doc.find("jobs");  // (a repeated "jobs" was refused with the document)
  if (jobs == doc.end() || !jobs->is_object()) return std::nullopt;
  // Equal record keys were already collapsed by the parser, the later record
  // winning; duplicate members inside a record are still refused.
  for (auto it = jobs->begin(); it != jobs->end(); ++it) {
    if (parsed.has_repeated_member(it.value())) return std::nullopt;
    JobRecord record;
    if (!read_record(it.value(), record)) return std::nullopt;
    ledger.jobs.emplace(it.key(), std::move(record));
  }
  return ledger;
}

}  // namespace tph
