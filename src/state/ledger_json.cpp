#include "state/ledger_json.h"

#include <cstdint>
#include <algorithm>
#include <iterator>
#include <limits>
#include <memory>
#include <queue>
#include <random>
#include <string_view>
#include <utility>
#include <vector>

#include "state/attempt_state.h"
#include "support/error_catalogue.h"
#include "support/strict_json.h"

namespace tph {
namespace {
// Marks, in a ledger that failed to read, a well-formed record whose state
// this version does not know.
constexpr uint32_t kUnknownStateSchema = 0xFFFFFFFF;
}  // namespace
namespace {

using Ordered = nlohmann::ordered_json;

// Appends `s` as a JSON string, as the library writes one: quotation mark,
// reverse solidus and control characters escaped (short forms where they
// exist, else \u00xx in lower case), everything else as it is. False when
// `s` is not valid UTF-8. String by string, not as a document: an ordered
// document of every record would cost time quadratic in their number.
bool append_json_string(std::string& out, std::string_view s) {
  // Most texts are printable ASCII that needs no escape: written as they are.
  const bool plain = std::all_of(s.begin(), s.end(), [](char c) {
    return c >= 0x20 && c < 0x7F && c != '"' && c != '\\';
  });
  if (plain) {
    out += '"';
    out += s;
    out += '"';
    return true;
  }
  try {
    out += Json(std::string(s)).dump(-1, ' ', /*ensure_ascii=*/false, Json::error_handler_t::strict);
  } catch (const Json::type_error&) {
    return false;  // not valid UTF-8
  }
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
  text("state", std::string(state_name(r.state)));
  text("printer", r.printer);
  text("os_job_id", r.os_job_id);
  number("created_at_ms", r.created_at_ms);
  number("updated_at_ms", r.updated_at_ms);
  text("error_code", r.error_code);
  const bool fleet = r.fleet_revision != 0 || !r.station.empty();
  text("error_message", r.error_message, !fleet);
  if (fleet) {
    text("station", r.station);
    number("fleet_revision", r.fleet_revision);
    text("fleet_state", r.fleet_state);
    text("fleet_nonce", r.fleet_nonce, true);
  }
  out += "    }";
  return ok;
}

}  // namespace

Result<std::string> encode_pretty(const Ordered& document) {
  try {
    return document.dump(2, ' ', /*ensure_ascii=*/false, Ordered::error_handler_t::strict);
  } catch (const Ordered::exception&) {
    return errors::make(errors::kStateUnavailable, errors::kMsgCannotEncodeState);
  }
}

Result<std::string> encode_ledger(const HostLedger& ledger) {
  // Sized up front from the texts themselves (escapes aside), so that the
  // text is not grown by doubling: the save is the largest allocation a
  // long-running host makes besides the ledger itself.
  size_t estimate = 128;
  for (const auto& [key, r] : ledger.jobs) {
    estimate += 320 + key.size() + r.intent_id.size() + r.payload_sha256.size() + state_name(r.state).size() + r.printer.size() +
                r.os_job_id.size() + r.error_code.size() + r.error_message.size() + r.station.size() + r.fleet_state.size() + r.fleet_nonce.size() + 128;
  }
  std::string out;
  out.reserve(estimate);
  out += "{\n  \"schema\": " + std::to_string(ledger.schema) + ",\n  \"updated_at_ms\": " +
         std::to_string(ledger.updated_at_ms) + ",\n";
  if (!ledger.fleet_key.empty()) {
    out += "  \"fleet_key\": ";
    if (!append_json_string(out, ledger.fleet_key)) return errors::make(errors::kStateUnavailable, errors::kMsgCannotEncodeState);
    out += ",\n";
  }
  out += "  \"jobs\": {";
  bool first = true;
  for (const auto& [key, record] : ledger.jobs) {
    out += first ? "\n" : ",\n";
    first = false;
    if (!append_record(out, key, record)) return errors::make(errors::kStateUnavailable, errors::kMsgCannotEncodeState);
  }
  out += first ? "}\n}" : "\n  }\n}";
  return out;
}

namespace {

// The names of one object's members that are none of ours, kept only to
// refuse one given twice: a 64-bit keyed hash of each, sorted and compared
// when the object ends. Eight bytes a name, however many there are, where a
// set of the names took ten times the bytes they had in the file; a
// member's shortest form (`"abc":0,`) takes eight bytes of the file. The key
// is drawn once a process, so nobody can pick names that collide.
class NameHashes {
 public:
  void add(std::string_view name) {
    if (chunks_.empty() || chunks_.back().size() == kChunk) {
      chunks_.emplace_back();
      chunks_.back().reserve(chunks_.size() == 1 ? 16 : kChunk);
    }
    std::vector<uint64_t>& last = chunks_.back();
    if (last.size() == last.capacity()) last.reserve(std::min(kChunk, last.capacity() * 2));
    last.push_back(hash(name));
  }

  // Whether a name came twice: each chunk sorted, then merged in order.
  bool repeated() {
    for (auto& chunk : chunks_) {
      std::sort(chunk.begin(), chunk.end());
      if (std::adjacent_find(chunk.begin(), chunk.end()) != chunk.end()) return true;
    }
    if (chunks_.size() < 2) return false;
    using Cursor = std::pair<uint64_t, size_t>;  // value, chunk
    std::priority_queue<Cursor, std::vector<Cursor>, std::greater<>> heads;
    std::vector<size_t> at(chunks_.size(), 0);
    for (size_t c = 0; c < chunks_.size(); ++c) heads.emplace(chunks_[c][0], c);
    bool first = true;
    uint64_t previous = 0;
    while (!heads.empty()) {
      const auto [value, c] = heads.top();
      heads.pop();
      if (!first && value == previous) return true;
      first = false;
      previous = value;
      if (++at[c] < chunks_[c].size()) heads.emplace(chunks_[c][at[c]], c);
    }
    return false;
  }

 private:
  static constexpr size_t kChunk = size_t{1} << 17;  // 1 MiB of hashes

  static uint64_t hash(std::string_view name) {
    static const uint64_t key = [] {
      std::random_device device;
      return (uint64_t{device()} << 32) ^ device();
    }();
    uint64_t h = 0xcbf29ce484222325ull ^ key;
    for (char c : name) {
      h ^= static_cast<uint8_t>(c);
      h *= 0x100000001b3ull;
    }
    // A finaliser, so that every bit of the key reaches every bit of the hash.
    h ^= h >> 30;
    h *= 0xbf58476d1ce4e5b9ull;
    h ^= h >> 27;
    h *= 0x94d049bb133111ebull;
    return h ^ (h >> 31);
  }

  std::vector<std::vector<uint64_t>> chunks_;
};

// Binds ledger.json straight into records as the tokenizer reads it, with no
// document of the whole file in between: memory goes to the records and the
// member names being checked, nothing else. The rules are those of the
// strict reader: the document and each record refuse any member name given
// twice (known or not); unknown members are skipped whatever their value;
// integers are plain non-negative numbers that fit; texts are strings
// within the record's bounds; a later record with the same key replaces an
// earlier one.
class LedgerReader {
 public:
  explicit LedgerReader(HostLedger& out) : out_(out) {}

  bool null() { return scalar(Kind::kOther); }
  bool boolean(bool) { return scalar(Kind::kOther); }
  bool number_integer(Json::number_integer_t v) {
    number_ = 0;
    return scalar(v == 0 ? Kind::kUnsigned : Kind::kOther);  // "-0" is zero
  }
  bool number_unsigned(Json::number_unsigned_t v) {
    number_ = v;
    return scalar(Kind::kUnsigned);
  }
  bool number_float(Json::number_float_t, const Json::string_t&) { return scalar(Kind::kOther); }
  bool string(Json::string_t& v) {
    text_ = &v;
    return scalar(Kind::kText);
  }
  bool binary(Json::binary_t&) { return false; }

  bool start_object(std::size_t) {
    if (skip_ > 0 || !wanted_) return enter_skipped();
    switch (level_) {
      case Level::kStart: level_ = Level::kDocument; break;
      case Level::kDocument:
        if (member_ != Member::kJobs) return false;
        document_seen_ |= 4;
        level_ = Level::kJobs;
        break;
      case Level::kJobs:
        level_ = Level::kRecord;
        record_ = JobRecord{};
        record_seen_ = 0;
        break;
      default: return false;
    }
    names_.emplace_back();
    return true;
  }
  bool start_array(std::size_t) {
    if (skip_ > 0 || !wanted_) return enter_skipped();
    return false;  // no member of ours is an array
  }
  bool end_object() {
    if (skip_ > 0) return --skip_, after_value();
    if (names_.back().repeated()) return false;
    names_.pop_back();
    switch (level_) {
      case Level::kDocument:
        level_ = Level::kDone;
        return (document_seen_ & kDocumentMembers) == kDocumentMembers;
      case Level::kJobs: level_ = Level::kDocument; return after_value();
      case Level::kRecord:
        if ((record_seen_ & kRecordMembers) != kRecordMembers) return false;
        // A record is found by its key and answered by its intent_id: the
        // two must be one identifier, or a repeat could miss it.
        if (record_.intent_id.empty() || record_.intent_id != record_key_) return false;
        // A state this host never writes cannot be answered from: another
        // version wrote it.
        if (std::optional<JobState> state = parse_state(state_text_)) {
          record_.state = *state;
        } else {
          out_.schema = kUnknownStateSchema;
          return false;
        }
        out_.jobs.insert_or_assign(std::move(record_key_), std::move(record_));
        level_ = Level::kJobs;
        return after_value();
      default: return false;
    }
  }
  bool end_array() { return skip_ > 0 ? (--skip_, after_value()) : false; }

  bool key(Json::string_t& k) {
    if (skip_ > 0) return true;
    wanted_ = true;
    // Every name of an object counts against repeats, known or not: a
    // known one by the bit its value sets, any other by its hash.
    switch (level_) {
      case Level::kDocument:
        member_ = k == "schema" ? Member::kSchema : k == "updated_at_ms" ? Member::kUpdatedAt
                : k == "jobs" ? Member::kJobs : k == "fleet_key" ? Member::kFleetKey : Member::kNone;
        if (member_ != Member::kNone && (document_seen_ & document_bit(member_)) != 0) return false;
        break;
      case Level::kJobs:
        if (k.size() > record_limits::kIntentId) return false;
        record_key_ = k;
        member_ = Member::kRecord;
        break;
      case Level::kRecord:
        member_ = record_member(k);
        if (member_ != Member::kNone && (record_seen_ & record_bit(member_)) != 0) return false;
        break;
      default: return false;
    }
    if (member_ == Member::kNone) names_.back().add(k);
    wanted_ = member_ != Member::kNone;
    return true;
  }

  template <typename Exception>
  bool parse_error(std::size_t, const std::string&, const Exception&) {
    return false;
  }

 private:
  enum class Level { kStart, kDocument, kJobs, kRecord, kDone };
  enum class Kind { kUnsigned, kText, kOther };
  enum class Member {
    kNone, kSchema, kUpdatedAt, kJobs, kFleetKey, kRecord,
    kIntentId, kFingerprint, kState, kPrinter, kOsJobId, kCreatedAt, kRecordUpdatedAt, kErrorCode, kErrorMessage,
    // A fleet's, present only in a record written to the shared ledger.
    kStation, kFleetRevision, kFleetState, kFleetNonce,
  };
  static constexpr unsigned kDocumentMembers = 0b111;
  static constexpr unsigned kRecordMembers = 0b111111111;

  static unsigned document_bit(Member m) {
    return m == Member::kSchema ? 1u : m == Member::kUpdatedAt ? 2u : m == Member::kJobs ? 4u : 8u;
  }
  static unsigned record_bit(Member m) {
    return 1u << (static_cast<unsigned>(m) - static_cast<unsigned>(Member::kIntentId));
  }

  static Member record_member(const std::string& k) {
    static const std::pair<const char*, Member> kNames[] = {
        {"intent_id", Member::kIntentId},   {"payload_sha256", Member::kFingerprint},
        {"state", Member::kState},          {"printer", Member::kPrinter},
        {"os_job_id", Member::kOsJobId},    {"created_at_ms", Member::kCreatedAt},
        {"updated_at_ms", Member::kRecordUpdatedAt}, {"error_code", Member::kErrorCode},
        {"error_message", Member::kErrorMessage}, {"station", Member::kStation},
        {"fleet_revision", Member::kFleetRevision}, {"fleet_state", Member::kFleetState},
        {"fleet_nonce", Member::kFleetNonce}};
    for (const auto& [name, member] : kNames) {
      if (k == name) return member;
    }
    return Member::kNone;
  }

  bool enter_skipped() {
    ++skip_;
    return true;
  }

  // A value has ended: the next key decides what follows.
  bool after_value() {
    if (skip_ == 0) wanted_ = false;
    return true;
  }

  bool text(std::string& into, size_t max) {
    if (text_->size() > max) return false;
    into.assign(text_->data(), text_->size());
    return true;
  }

  bool scalar(Kind kind) {
    if (skip_ > 0 || !wanted_) return after_value();
    wanted_ = false;
    constexpr uint64_t kU32 = std::numeric_limits<uint32_t>::max();
    namespace lim = record_limits;
    if (level_ == Level::kDocument) {
      if (member_ == Member::kFleetKey) {
        if (kind != Kind::kText || text_->size() > 64) return false;
        out_.fleet_key.assign(text_->data(), text_->size());
        document_seen_ |= 8;
        return true;
      }
      if (kind != Kind::kUnsigned) return false;
      if (member_ == Member::kSchema) {
        if (number_ > kU32) return false;
        out_.schema = static_cast<uint32_t>(number_);
        document_seen_ |= 1;
        return true;
      }
      if (member_ == Member::kUpdatedAt) {
        out_.updated_at_ms = number_;
        document_seen_ |= 2;
        return true;
      }
      return false;  // "jobs" must be an object
    }
    if (level_ != Level::kRecord) return false;
    const bool numeric = member_ == Member::kCreatedAt || member_ == Member::kRecordUpdatedAt ||
                         member_ == Member::kFleetRevision;
    if (kind != (numeric ? Kind::kUnsigned : Kind::kText)) return false;
    bool ok = true;
    switch (member_) {
      case Member::kIntentId: ok = text(record_.intent_id, lim::kIntentId); break;
      case Member::kFingerprint: ok = text(record_.payload_sha256, lim::kFingerprint); break;
      case Member::kState: ok = text(state_text_, lim::kState); break;
      case Member::kPrinter: ok = text(record_.printer, lim::kPrinter); break;
      case Member::kOsJobId: ok = text(record_.os_job_id, lim::kOsJobId); break;
      case Member::kCreatedAt: record_.created_at_ms = number_; break;
      case Member::kRecordUpdatedAt: record_.updated_at_ms = number_; break;
      case Member::kErrorCode: ok = text(record_.error_code, lim::kErrorCode); break;
      case Member::kErrorMessage: ok = text(record_.error_message, lim::kErrorMessage); break;
      case Member::kStation: ok = text(record_.station, lim::kStation); break;
      case Member::kFleetRevision: record_.fleet_revision = number_; break;
      case Member::kFleetState: ok = text(record_.fleet_state, lim::kState); break;
      case Member::kFleetNonce: ok = text(record_.fleet_nonce, lim::kState); break;
      default: return false;
    }
    record_seen_ |= record_bit(member_);
    return ok;
  }

  HostLedger& out_;
  Level level_ = Level::kStart;
  Member member_ = Member::kNone;
  bool wanted_ = true;  // the next value is one we bind (the document itself, at first)
  size_t skip_ = 0;     // depth inside a skipped array or object
  uint64_t number_ = 0;
  Json::string_t* text_ = nullptr;
  std::vector<NameHashes> names_;  // unknown member names per open object
  unsigned document_seen_ = 0;
  unsigned record_seen_ = 0;
  std::string record_key_;
  std::string state_text_;
  JobRecord record_;
};

}  // namespace

namespace {

// The text of a ledger as the tokenizer reads it: a piece at a time from the
// source, through the checks every strict parse makes. A byte that breaks
// them ends the input early and marks it failed.
class PiecewiseText {
 public:
  explicit PiecewiseText(const LedgerSource& next) : next_(next) {}

  // The current byte, or -1 at the end.
  int peek() {
    if (pos_ == size_) {
      if (ended_) return -1;
      size_ = next_(buffer_, sizeof buffer_);
      pos_ = 0;
      if (size_ == 0) {
        ended_ = true;
        return -1;
      }
    }
    return static_cast<unsigned char>(buffer_[pos_]);
  }
  void advance() {
    if (peek() < 0) return;
    if (!check_.byte(buffer_[pos_])) {
      failed_ = true;
      ended_ = true;
      size_ = pos_ = 0;
      return;
    }
    ++pos_;
  }
  bool failed() const { return failed_; }

 private:
  const LedgerSource& next_;
  char buffer_[64 * 1024];
  size_t pos_ = 0, size_ = 0;
  bool ended_ = false, failed_ = false;
  JsonPrecheck check_;
};

// An input iterator over the text, as the tokenizer takes one. Every copy
// shares the one text; a null text is the end.
class PiecewiseIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = char;

  explicit PiecewiseIterator(PiecewiseText* text = nullptr) : text_(text) {}
  char operator*() const { return static_cast<char>(text_->peek()); }
  PiecewiseIterator& operator++() {
    text_->advance();
    return *this;
  }
  bool operator==(const PiecewiseIterator& o) const { return at_end() == o.at_end(); }
  bool operator!=(const PiecewiseIterator& o) const { return !(*this == o); }

 private:
  bool at_end() const { return !text_ || text_->peek() < 0; }
  PiecewiseText* text_;
};

// The check of a byte happens as the tokenizer moves past it; the last byte
// of the text is checked when the tokenizer looks for more.
bool parse(PiecewiseText& text, HostLedger& ledger) {
  ledger.schema = 0;
  LedgerReader reader(ledger);
  const bool parsed = Json::sax_parse(PiecewiseIterator(&text), PiecewiseIterator(), &reader,
                                      nlohmann::detail::input_format_t::json, /*strict=*/true,
                                      /*ignore_comments=*/false);
  return parsed && !text.failed();
}

}  // namespace

Result<HostLedger> decode_ledger(const LedgerSource& next) {
  auto text = std::make_unique<PiecewiseText>(next);
  HostLedger ledger;
  if (!parse(*text, ledger)) {
    if (ledger.schema == kUnknownStateSchema) return errors::make(errors::kStateVersion, errors::kMsgStateVersion);
    return errors::make(errors::kStateCorrupt, errors::kMsgLedgerUnreadable);
  }
  return ledger;
}

Result<HostLedger> decode_ledger(std::string_view bytes) {
  size_t at = 0;
  return decode_ledger([&](char* data, size_t size) {
    const size_t n = std::min(size, bytes.size() - at);
    std::copy_n(bytes.data() + at, n, data);
    at += n;
    return n;
  });
}

}  // namespace tph
