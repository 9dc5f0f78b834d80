#include "state/attempt_archive.h"

#include <algorithm>
#include <memory>
#include <unordered_map>
#include <utility>

#include "state/archive_format.h"
#include "state/atomic_file.h"
#include "support/error_catalogue.h"
#include "state/ledger.h"

namespace tph {
namespace {

using namespace errors;
using archive::IndexEntry;
using archive::RecordRead;

constexpr size_t kReadChunk = 64 * 1024;

HostError io_failure(const OsError& s) { return with_description(kStateUnavailable, kPfxArchive, s.description); }
HostError damaged() { return make(kStateCorrupt, kMsgArchiveDamaged); }

// An open file, or nothing where none is.
Result<std::unique_ptr<RandomAccessFile>> open_file(FileSystem& fs, const std::string& path, bool create) {
  OsResult<std::unique_ptr<RandomAccessFile>> f = fs.open_random_access(path, create);
  if (f.ok()) return std::move(f.value());
  if (f.error().failed_as(OsErrorKind::kNotFound)) return std::unique_ptr<RandomAccessFile>();
  return io_failure(f.error());
}


using Index = AttemptArchive::Index;

Result<Index> open_index(FileSystem& fs, const std::string& path, uint64_t log_size) {
  Result<std::unique_ptr<RandomAccessFile>> opened = open_file(fs, path, false);
  if (!opened.ok()) return opened.take_error();
  Index index;
  if (!opened.value()) return index;
  std::string bytes(archive::kIndexHeaderBytes, '\0');
  OsResult<size_t> got = opened.value()->read_at(0, reinterpret_cast<uint8_t*>(bytes.data()), bytes.size());
  if (!got.ok()) return io_failure(got.error());
  OsResult<uint64_t> size = opened.value()->size();
  if (!size.ok()) return io_failure(size.error());
  bytes.resize(got.value());
  const std::optional<archive::IndexHeader> header = archive::decode_index_header(bytes);
  // Anything else is an index to rebuild: the log after offset 0 is read.
  if (!header || header->covered > log_size || header->count > header->covered / archive::kMinRecordBytes ||
      size.value() != archive::kIndexHeaderBytes + header->count * archive::kIndexEntryBytes) {
    return index;
  }
  index.file = std::move(opened.value());
  index.header = *header;
  return index;
}

Result<IndexEntry> entry_at(RandomAccessFile& file, uint64_t i) {
  unsigned char bytes[archive::kIndexEntryBytes];
  OsResult<size_t> got = file.read_at(archive::kIndexHeaderBytes + i * archive::kIndexEntryBytes, bytes, sizeof bytes);
  if (!got.ok()) return io_failure(got.error());
  if (got.value() != sizeof bytes) return damaged();
  std::optional<IndexEntry> entry = archive::decode_index_entry(bytes);
  if (!entry) return damaged();
  return *entry;
}

// The record at `offset`, which the index says holds one.
Result<JobRecord> record_at(RandomAccessFile& log, uint64_t offset) {
  std::string bytes(archive::kRecordHeaderBytes + archive::kMaxBodyBytes, '\0');
  OsResult<size_t> got = log.read_at(offset, reinterpret_cast<uint8_t*>(bytes.data()), bytes.size());
  if (!got.ok()) return io_failure(got.error());
  bytes.resize(got.value());
  RecordRead read = archive::decode_record(bytes);
  if (read.kind != RecordRead::Kind::kRecord) return damaged();
  return std::move(read.record);
}

// Appends the log's next piece, from `read_to` on, to `buffer`: the bytes
// read (0 only where the log ended sooner than its size said).
Result<size_t> read_piece(RandomAccessFile& log, std::string& buffer, uint64_t& read_to, uint64_t log_size) {
  const size_t want = static_cast<size_t>(std::min<uint64_t>(kReadChunk, log_size - read_to));
  const size_t had = buffer.size();
  buffer.resize(had + want);
  OsResult<size_t> got = log.read_at(read_to, reinterpret_cast<uint8_t*>(buffer.data() + had), want);
  if (!got.ok()) return io_failure(got.error());
  buffer.resize(had + got.value());
  read_to += got.value();
  return got.value();
}

// Whether the bytes from `from` to the log's end hold a whole commit mark at
// any offset. Marks are written only once the records before them are on
// the disk, so a mark past a bad record means the bad record was committed:
// the archive is damaged, not cut short.
Result<bool> mark_follows(RandomAccessFile& log, uint64_t from, uint64_t log_size) {
  const size_t mark_size = archive::encode_commit(0).size();
  std::string window;
  uint64_t read_to = from;
  while (read_to < log_size || window.size() >= mark_size) {
    for (size_t i = 0; i + mark_size <= window.size(); ++i) {
      if (archive::decode_record(std::string_view(window).substr(i, mark_size)).kind == RecordRead::Kind::kCommit) {
        return true;
      }
    }
    if (read_to == log_size) return false;
    // Keep the last bytes that could begin a mark, and read on.
    window.erase(0, window.size() - std::min(window.size(), mark_size - 1));
    Result<size_t> got = read_piece(log, window, read_to, log_size);
    if (!got.ok()) return got.take_error();
    if (got.value() == 0) return false;
  }
  return false;
}

// Reads the log's records from `from` to its end, in order, handing each to
// `visit` with its offset as it is read. Returns where the committed records
// end: a caller keeps only the records before that offset. What follows the
// last commit mark was never on the disk whole (a batch a crash cut short,
// torn, or never flushed), and its records are still in the ledger. A bad
// record with a commit mark after it is damage, and an error.
Result<uint64_t> scan(RandomAccessFile& log, uint64_t from, uint64_t log_size,
                      const std::function<void(uint64_t, JobRecord&)>& visit) {
  std::string buffer;
  uint64_t buffer_at = from;  // the log offset of buffer[0]
  size_t pos = 0;
  uint64_t read_to = from;
  uint64_t committed = from;
  uint64_t batch_start = from;
  for (;;) {
    const std::string_view rest(buffer.data() + pos, buffer.size() - pos);
    const uint64_t offset = buffer_at + pos;
    if (offset == log_size) return committed;
    RecordRead read = archive::decode_record(rest);
    if (read.kind == RecordRead::Kind::kRecord) {
      visit(offset, read.record);
      pos += read.size;
      continue;
    }
    if (read.kind == RecordRead::Kind::kCommit && read.batch_start == batch_start) {
      pos += read.size;
      committed = batch_start = buffer_at + pos;
      continue;
    }
    if (read.kind == RecordRead::Kind::kIncomplete && read_to < log_size) {
      // Keep the unread rest and read the next piece after it.
      buffer.erase(0, pos);
      buffer_at += pos;
      pos = 0;
      Result<size_t> got = read_piece(log, buffer, read_to, log_size);
      if (!got.ok()) return got.take_error();
      if (got.value() == 0) return committed;  // the log shrank under us
      continue;
    }
    // Not a record, or one cut short by the log's end: the tail of an
    // unfinished append, unless a commit mark follows.
    Result<bool> damage = mark_follows(log, offset + 1, log_size);
    if (!damage.ok()) return damage.take_error();
    if (damage.value()) return damaged();
    return committed;
  }
}

}  // namespace

AttemptArchive::AttemptArchive(FileSystem& fs, std::string folder) : fs_(fs), folder_(std::move(folder)) {}

std::string AttemptArchive::log_path() const { return fs_.join(folder_, kArchiveLogFileName); }
std::string AttemptArchive::index_path() const { return fs_.join(folder_, kArchiveIndexFileName); }

Result<std::optional<JobRecord>> AttemptArchive::find(std::string_view intent_id) {
  Result<std::unique_ptr<RandomAccessFile>> log = open_file(fs_, log_path(), false);
  if (!log.ok()) return log.take_error();
  if (!log.value()) return std::optional<JobRecord>();
  OsResult<uint64_t> log_size = log.value()->size();
  if (!log_size.ok()) return io_failure(log_size.error());
  Result<Index> index = open_index(fs_, index_path(), log_size.value());
  if (!index.ok()) return index.take_error();

  // A later record of the same intent (archived again after a crash between
  // the append and the ledger's save) replaces an earlier one.
  std::optional<JobRecord> found;
  const uint64_t hash = archive::intent_hash(intent_id);
  if (RandomAccessFile* file = index.value().file.get()) {
    uint64_t low = 0, high = index.value().header.count;
    while (low < high) {
      const uint64_t mid = low + (high - low) / 2;
      Result<IndexEntry> e = entry_at(*file, mid);
      if (!e.ok()) return e.take_error();
      if (e.value().hash < hash) low = mid + 1; else high = mid;
    }
    // The entry before the place the search landed must sort before the
    // intent: a damaged entry there would otherwise hide the intent's own.
    if (low > 0) {
      Result<IndexEntry> before = entry_at(*file, low - 1);
      if (!before.ok()) return before.take_error();
      if (before.value().hash >= hash) return damaged();
    }
    for (uint64_t i = low; i < index.value().header.count; ++i) {
      Result<IndexEntry> e = entry_at(*file, i);
      if (!e.ok()) return e.take_error();
      if (e.value().hash < hash) return damaged();  // out of order
      if (e.value().hash != hash) break;
      if (e.value().offset >= index.value().header.covered) return damaged();
      Result<JobRecord> r = record_at(*log.value(), e.value().offset);
      if (!r.ok()) return r.take_error();
      if (r.value().intent_id == intent_id) found = std::move(r.value());
    }
  }
  std::vector<IndexEntry> tail;
  std::vector<std::pair<uint64_t, JobRecord>> matches;  // in the log's order
  Result<uint64_t> end = scan(*log.value(), index.value().header.covered, log_size.value(),
                              [&](uint64_t offset, JobRecord& r) {
                                tail.push_back({archive::intent_hash(r.intent_id), offset});
                                if (r.intent_id == intent_id) matches.emplace_back(offset, std::move(r));
                              });
  if (!end.ok()) return end.take_error();
  for (auto& [offset, record] : matches) {
    if (offset < end.value()) found = std::move(record);
  }
  while (!tail.empty() && tail.back().offset >= end.value()) tail.pop_back();
  // An index deleted or left behind (a crash before its rewrite) is made
  // again here, so that lookups stay short until the next append.
  if (end.value() - index.value().header.covered > kIndexTailBytes) {
    if (Status s = rewrite_index(index.value(), std::move(tail), end.value()); !s.ok()) return s.take_error();
  }
  return found;
}

Status AttemptArchive::add(const std::vector<JobRecord>& records) {
  if (records.empty()) return Status::Ok();
  Result<std::unique_ptr<RandomAccessFile>> opened = open_file(fs_, log_path(), true);
  if (!opened.ok()) return opened.take_error();
  if (!opened.value()) return io_failure(OsStatus::Fail(0, "the archive could not be created"));
  RandomAccessFile& log = *opened.value();
  OsResult<uint64_t> log_size = log.size();
  if (!log_size.ok()) return io_failure(log_size.error());
  Result<Index> index = open_index(fs_, index_path(), log_size.value());
  if (!index.ok()) return index.take_error();
  const uint64_t covered = index.value().header.covered;

  std::vector<IndexEntry> tail;
  Result<uint64_t> end = scan(log, covered, log_size.value(), [&tail](uint64_t offset, JobRecord& r) {
    tail.push_back({archive::intent_hash(r.intent_id), offset});
  });
  if (!end.ok()) return end.take_error();
  while (!tail.empty() && tail.back().offset >= end.value()) tail.pop_back();
  if (end.value() < log_size.value()) {
    if (OsStatus s = log.truncate(end.value()); !s.ok()) return io_failure(s.error());
  }

  // The records first, flushed; then the mark that commits them, flushed.
  // A mark is never on the disk before the records it closes.
  std::string bytes;
  for (const JobRecord& r : records) {
    std::string encoded = archive::encode_record(r);
    const RecordRead back = archive::decode_record(encoded);
    if (back.kind != RecordRead::Kind::kRecord || !(back.record == r)) {
      return io_failure(OsStatus::Fail(0, "the attempt \"" + cut_text(r.intent_id, 64) + "\" cannot be archived"));
    }
    tail.push_back({archive::intent_hash(r.intent_id), end.value() + bytes.size()});
    bytes += encoded;
  }
  if (OsStatus s = log.write_at(end.value(), reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()); !s.ok()) {
    return io_failure(s.error());
  }
  if (OsStatus s = log.sync(); !s.ok()) return io_failure(s.error());
  const std::string mark = archive::encode_commit(end.value());
  const uint64_t marked_at = end.value() + bytes.size();
  if (OsStatus s = log.write_at(marked_at, reinterpret_cast<const uint8_t*>(mark.data()), mark.size()); !s.ok()) {
    return io_failure(s.error());
  }
  if (OsStatus s = log.sync(); !s.ok()) return io_failure(s.error());
  const uint64_t new_size = marked_at + mark.size();
  if (new_size - covered <= kIndexTailBytes) return Status::Ok();

  return rewrite_index(index.value(), std::move(tail), new_size);
}

Status AttemptArchive::rewrite_index(const Index& index, std::vector<IndexEntry> tail, uint64_t covered) {
  // The index now covers the log up to `covered`: its entries, then the
  // tail's, merged.
  std::vector<IndexEntry> entries;
  if (RandomAccessFile* file = index.file.get()) {
    const uint64_t count = index.header.count;
    std::string raw(count * archive::kIndexEntryBytes, '\0');
    OsResult<size_t> got = file->read_at(archive::kIndexHeaderBytes, reinterpret_cast<uint8_t*>(raw.data()), raw.size());
    if (!got.ok()) return io_failure(got.error());
    if (got.value() != raw.size()) return damaged();
    entries.reserve(count + tail.size());
    const auto* p = reinterpret_cast<const unsigned char*>(raw.data());
    for (uint64_t i = 0; i < count; ++i, p += archive::kIndexEntryBytes) {
      std::optional<IndexEntry> entry = archive::decode_index_entry(p);
      if (!entry || (!entries.empty() && *entry < entries.back())) return damaged();
      entries.push_back(*entry);
    }
  }
  const size_t sorted = entries.size();
  entries.insert(entries.end(), tail.begin(), tail.end());
  std::sort(entries.begin() + static_cast<std::ptrdiff_t>(sorted), entries.end());
  std::inplace_merge(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(sorted), entries.end());
  std::string out = archive::encode_index_header({covered, entries.size()});
  out.reserve(archive::kIndexHeaderBytes + entries.size() * archive::kIndexEntryBytes);
  for (const IndexEntry& e : entries) archive::put_index_entry(out, e);
  // The records are safe in the log already; an index that cannot be
  // written only leaves more of the log to read until the next rewrite.
  (void)write_file_atomically(fs_, index_path(), out);
  return Status::Ok();
}

Result<AttemptArchive::Matches> AttemptArchive::with_prefix(std::string_view prefix, size_t limit,
                                                             const std::function<bool(std::string_view)>& skip) {
  Result<std::unique_ptr<RandomAccessFile>> log = open_file(fs_, log_path(), false);
  if (!log.ok()) return log.take_error();
  Matches matches;
  if (!log.value()) return matches;
  OsResult<uint64_t> log_size = log.value()->size();
  if (!log_size.ok()) return io_failure(log_size.error());
  // One entry an intent, its latest record's time and place; the records
  // themselves are read again only for those that are answered.
  struct Where {
    uint64_t created_at_ms;
    uint64_t offset;
  };
  std::unordered_map<std::string, std::vector<Where>> seen;  // every record of an intent, in the log's order
  Result<uint64_t> end = scan(*log.value(), 0, log_size.value(), [&](uint64_t offset, JobRecord& r) {
    if (std::string_view(r.intent_id).substr(0, prefix.size()) != prefix || skip(r.intent_id)) return;
    seen[std::move(r.intent_id)].push_back(Where{r.created_at_ms, offset});
  });
  if (!end.ok()) return end.take_error();
  // An intent's latest committed record counts; records after the last
  // commit mark do not (they are still in the ledger).
  std::unordered_map<std::string, Where> latest;
  for (auto& [intent, records] : seen) {
    for (auto it = records.rbegin(); it != records.rend(); ++it) {
      if (it->offset < end.value()) {
        latest.emplace(intent, *it);
        break;
      }
    }
  }
  seen.clear();
  std::vector<std::pair<const std::string*, Where>> order;
  order.reserve(latest.size());
  for (const auto& [intent, where] : latest) order.emplace_back(&intent, where);
  auto newer = [](const auto& a, const auto& b) {
    if (a.second.created_at_ms != b.second.created_at_ms) return a.second.created_at_ms > b.second.created_at_ms;
    return *a.first < *b.first;
  };
  const size_t kept = std::min(limit, order.size());
  std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(kept), order.end(), newer);
  matches.matched = order.size();
  for (size_t i = 0; i < kept; ++i) {
    Result<JobRecord> r = record_at(*log.value(), order[i].second.offset);
    if (!r.ok()) return r.take_error();
    matches.records.push_back(std::move(r.value()));
  }
  return matches;
}

}  // namespace tph
