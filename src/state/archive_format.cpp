#include "state/archive_format.h"

#include <array>
#include <cstring>

#include "state/attempt_state.h"
#include "support/text_conversion.h"

namespace tph::archive {
namespace {

constexpr uint8_t kFormat = 1;
constexpr uint8_t kCommitFormat = 2;
constexpr uint8_t kPackedFingerprint = 1;
constexpr std::string_view kIndexMagic = "TPHAIX01";

// The CRC-32 of zlib and PNG (reflected polynomial 0xEDB88320). Written
// here, not taken from zlib, because the Windows build links no zlib.
const std::array<uint32_t, 256>& crc_table() {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  return table;
}

void put_u32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

void put_u16(std::string& out, uint16_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>(v >> 8));
}

uint32_t get_u32(const unsigned char* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool is_packable(std::string_view fingerprint) {
  if (fingerprint.size() != 64) return false;
  for (char c : fingerprint) {
    if (hex_value(c) < 0) return false;
  }
  return true;
}

// Reads the body's fields in order; any read past its end fails the whole.
class BodyReader {
 public:
  explicit BodyReader(std::string_view body) : body_(body) {}
  bool ok() const { return ok_; }
  bool at_end() const { return pos_ == body_.size(); }
  uint8_t u8() {
    if (!need(1)) return 0;
    return static_cast<uint8_t>(body_[pos_++]);
  }
  uint64_t u64() {
    if (!need(8)) return 0;
    const uint64_t v = get_u64(reinterpret_cast<const unsigned char*>(body_.data() + pos_));
    pos_ += 8;
    return v;
  }
  std::string text() {
    if (!need(2)) return {};
    const size_t n = static_cast<uint8_t>(body_[pos_]) | static_cast<size_t>(static_cast<uint8_t>(body_[pos_ + 1])) << 8;
    pos_ += 2;
    if (!need(n)) return {};
    std::string s(body_.substr(pos_, n));
    pos_ += n;
    return s;
  }

 private:
  bool need(size_t n) {
    if (!ok_ || body_.size() - pos_ < n) ok_ = false;
    return ok_;
  }
  std::string_view body_;
  size_t pos_ = 0;
  bool ok_ = true;
};

}  // namespace

uint32_t crc32(std::string_view bytes) {
  const auto& table = crc_table();
  uint32_t c = 0xFFFFFFFFu;
  for (char ch : bytes) c = table[(c ^ static_cast<uint8_t>(ch)) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

uint64_t intent_hash(std::string_view intent_id) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (char c : intent_id) {
    h ^= static_cast<uint8_t>(c);
    h *= 0x100000001b3ull;
  }
  return h;
}

void put_u64(std::string& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

uint64_t get_u64(const unsigned char* p) {
  return uint64_t{get_u32(p)} | uint64_t{get_u32(p + 4)} << 32;
}

// Header and body: the body's length and CRC-32, then the body.
std::string framed(const std::string& body) {
  std::string out;
  out.reserve(kRecordHeaderBytes + body.size());
  put_u32(out, static_cast<uint32_t>(body.size()));
  put_u32(out, crc32(body));
  out += body;
  return out;
}

std::string encode_commit(uint64_t batch_start) {
  std::string body(1, static_cast<char>(kCommitFormat));
  put_u64(body, batch_start);
  return framed(body);
}

std::string encode_record(const JobRecord& r) {
  std::string body;
  const bool packed = is_packable(r.payload_sha256);
  body.push_back(static_cast<char>(kFormat));
  body.push_back(static_cast<char>(packed ? kPackedFingerprint : 0));
  put_u64(body, r.created_at_ms);
  put_u64(body, r.updated_at_ms);
  // Texts are cut to the record limits, which every text the host writes
  // keeps already; a length always fits its two bytes.
  auto text = [&body](std::string_view t, size_t limit) {
    t = t.substr(0, limit);
    put_u16(body, static_cast<uint16_t>(t.size()));
    body.append(t);
  };
  text(r.intent_id, record_limits::kIntentId);
  if (packed) {
    std::string raw;
    for (size_t i = 0; i < 64; i += 2) {
      raw.push_back(static_cast<char>(hex_value(r.payload_sha256[i]) << 4 | hex_value(r.payload_sha256[i + 1])));
    }
    text(raw, 32);
  } else {
    text(r.payload_sha256, record_limits::kFingerprint);
  }
  text(std::string(state_name(r.state)), record_limits::kState);
  text(r.printer, record_limits::kPrinter);
  text(r.os_job_id, record_limits::kOsJobId);
  text(r.error_code, record_limits::kErrorCode);
  text(r.error_message, record_limits::kErrorMessage);
  return framed(body);
}

RecordRead decode_record(std::string_view bytes) {
  RecordRead read;
  if (bytes.size() < kRecordHeaderBytes) {
    read.kind = RecordRead::Kind::kIncomplete;
    return read;
  }
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const uint32_t length = get_u32(p);
  if (length == 0 || length > kMaxBodyBytes) return read;  // damaged
  if (bytes.size() - kRecordHeaderBytes < length) {
    read.kind = RecordRead::Kind::kIncomplete;
    return read;
  }
  const std::string_view body = bytes.substr(kRecordHeaderBytes, length);
  if (crc32(body) != get_u32(p + 4)) return read;
  BodyReader in(body);
  const uint8_t format = in.u8();
  read.size = kRecordHeaderBytes + length;
  if (format == kCommitFormat) {
    read.batch_start = in.u64();
    read.kind = in.ok() && in.at_end() ? RecordRead::Kind::kCommit : RecordRead::Kind::kDamaged;
    return read;
  }
  const uint8_t flags = in.u8();
  JobRecord& r = read.record;
  r.created_at_ms = in.u64();
  r.updated_at_ms = in.u64();
  r.intent_id = in.text();
  std::string fingerprint = in.text();
  const std::string state = in.text();
  r.printer = in.text();
  r.os_job_id = in.text();
  r.error_code = in.text();
  r.error_message = in.text();
  if (!in.ok() || !in.at_end() || format != kFormat || (flags & ~kPackedFingerprint) != 0 || r.intent_id.empty()) {
    return read;
  }
  std::optional<JobState> known = parse_state(state);
  if (!known) return read;
  r.state = *known;
  // Every text goes out in answers as JSON: none of this host's is anything
  // but UTF-8.
  for (const std::string* t : {&r.intent_id, &r.printer, &r.os_job_id, &r.error_code, &r.error_message}) {
    if (repaired_utf8(*t) != *t) return read;
  }
  if (flags & kPackedFingerprint) {
    if (fingerprint.size() != 32) return read;
    static const char kDigits[] = "0123456789abcdef";
    for (unsigned char c : fingerprint) {
      r.payload_sha256.push_back(kDigits[c >> 4]);
      r.payload_sha256.push_back(kDigits[c & 15]);
    }
  } else {
    r.payload_sha256 = std::move(fingerprint);
  }
  read.kind = RecordRead::Kind::kRecord;
  return read;
}

void put_index_entry(std::string& out, const IndexEntry& e) {
  const size_t at = out.size();
  put_u64(out, e.hash);
  put_u64(out, e.offset);
  put_u32(out, crc32(std::string_view(out).substr(at, 16)));
  put_u32(out, 0);
}

std::optional<IndexEntry> decode_index_entry(const unsigned char* p) {
  const std::string_view fields(reinterpret_cast<const char*>(p), 16);
  if (crc32(fields) != get_u32(p + 16) || get_u32(p + 20) != 0) return std::nullopt;
  return IndexEntry{get_u64(p), get_u64(p + 8)};
}

std::string encode_index_header(const IndexHeader& header) {
  std::string out(kIndexMagic);
  put_u64(out, header.covered);
  put_u64(out, header.count);
  put_u32(out, crc32(out));
  put_u32(out, 0);
  return out;
}

std::optional<IndexHeader> decode_index_header(std::string_view bytes) {
  if (bytes.size() < kIndexHeaderBytes || bytes.substr(0, kIndexMagic.size()) != kIndexMagic) return std::nullopt;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  if (crc32(bytes.substr(0, 24)) != get_u32(p + 24) || get_u32(p + 28) != 0) return std::nullopt;
  return IndexHeader{get_u64(p + 8), get_u64(p + 16)};
}

}  // namespace tph::archive
