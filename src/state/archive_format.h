#pragma once
// The byte forms of the attempt archive: records appended to archive.log,
// and the sorted index archive.idx that finds them again. Pure functions:
// the files themselves are AttemptArchive's.
//
// A record: u32 body length, u32 CRC-32 of the body, then the body:
//   u8 format (1), u8 flags (bit 0: the fingerprint is packed, its 64 hex
//   digits as 32 bytes), u64 created_at_ms, u64 updated_at_ms, and the
//   seven texts of the record (intent_id, payload_sha256, state, printer,
//   os_job_id, error_code, error_message), each a u16 length and its bytes.
// All integers are little-endian. A typical label's record is about 100
// bytes. Records are appended in batches, each closed by a commit mark: a
// record of the same framing whose body is u8 format (2) and the u64 offset
// where its batch starts. Records after the last mark were never flushed
// whole and do not count.
//
// The index: a 32-byte header ("TPHAIX01", u64 bytes of the log it covers,
// u64 entry count, u32 CRC-32 of those 24 bytes, u32 zero), then the entries,
// each a u64 hash of the intent, the u64 offset of its record in the log and
// a u32 CRC-32 of those 16 bytes (and a u32 zero), sorted by hash, then
// offset. A lookup checks every entry it reads, and the order around the
// place it lands, so a damaged entry is an error rather than a miss.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "state/ledger.h"

namespace tph::archive {

inline constexpr size_t kRecordHeaderBytes = 8;
// The largest body this host writes: seven texts at their record limits.
inline constexpr size_t kMaxBodyBytes = 18 + 7 * 2 + 2 * record_limits::kIntentId + record_limits::kFingerprint +
                                        record_limits::kState + record_limits::kPrinter + record_limits::kOsJobId +
                                        record_limits::kErrorCode + record_limits::kErrorMessage;
// The fewest bytes a record takes: its header and a body of empty texts.
inline constexpr size_t kMinRecordBytes = kRecordHeaderBytes + 18 + 7 * 2;
inline constexpr size_t kIndexHeaderBytes = 32;
inline constexpr size_t kIndexEntryBytes = 24;

uint32_t crc32(std::string_view bytes);
// The hash the index sorts intents by (FNV-1a, 64 bits).
uint64_t intent_hash(std::string_view intent_id);

// The record as appended to the log: header and body.
std::string encode_record(const JobRecord& record);
// The mark that closes a batch begun at `batch_start`.
std::string encode_commit(uint64_t batch_start);

// What the bytes at one offset of the log hold.
struct RecordRead {
  enum class Kind {
    kRecord,      // a whole record: `record`, taking `size` bytes
    kCommit,      // a commit mark of the batch begun at `batch_start`, taking `size` bytes
    kIncomplete,  // the bytes end before the record does
    kDamaged,     // not a record this host wrote
  } kind = Kind::kDamaged;
  size_t size = 0;
  JobRecord record;
  uint64_t batch_start = 0;
};
RecordRead decode_record(std::string_view bytes);

struct IndexHeader {
  uint64_t covered = 0;  // the log's bytes that the entries cover
  uint64_t count = 0;
};
std::string encode_index_header(const IndexHeader& header);
// Nothing unless the bytes are a header this host wrote.
std::optional<IndexHeader> decode_index_header(std::string_view bytes);

struct IndexEntry {
  uint64_t hash = 0;
  uint64_t offset = 0;
  friend bool operator<(const IndexEntry& a, const IndexEntry& b) {
    return a.hash != b.hash ? a.hash < b.hash : a.offset < b.offset;
  }
};
void put_u64(std::string& out, uint64_t v);
uint64_t get_u64(const unsigned char* p);
void put_index_entry(std::string& out, const IndexEntry& e);
// Nothing unless the bytes are an entry this host wrote.
std::optional<IndexEntry> decode_index_entry(const unsigned char* bytes);

}  // namespace tph::archive
