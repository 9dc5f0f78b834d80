#include "state/attempt_archive.h"

#include <gtest/gtest.h>

#include "fakes/memory_file_system.h"
#include "state/archive_format.h"

namespace tph {
namespace {

using testing::MemoryFileSystem;
using Op = MemoryFileSystem::Op;

const std::string kFolder = "/state";
const std::string kLog = kFolder + "/archive.log";
const std::string kIndex = kFolder + "/archive.idx";

JobRecord record(const std::string& id, uint64_t created = 1000, JobState state = JobState::kCompleted) {
  return JobRecord{id, std::string(64, 'a'), std::move(state), "Label_PDF", "7", created, created + 5, "", ""};
}

std::vector<JobRecord> records(int from, int to) {
  std::vector<JobRecord> out;
  for (int i = from; i < to; ++i) out.push_back(record("order-" + std::to_string(i), 1000 + i));
  return out;
}

std::optional<JobRecord> find(AttemptArchive& archive, const std::string& id) {
  Result<std::optional<JobRecord>> r = archive.find(id);
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message);
  return r.ok() ? r.value() : std::nullopt;
}

TEST(ArchiveFormat, RecordsRoundTrip) {
  const JobRecord cases[] = {
      record("a"),
      JobRecord{"x:y.z-_1", "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef", JobState::kUnknown,
                "Étiquettes/2", "", 1, 2, "HOST_RESTARTED", "The helper restarted."},
      // A fingerprint that is not 64 hex digits is kept as text.
      JobRecord{"b", "legacy-FF", JobState::kSubmitted, "", "4294967295", 0, UINT64_MAX, "", ""},
      JobRecord{std::string(160, 'i'), std::string(64, 'f'), JobState::kFailed, std::string(256, 'p'), std::string(32, '9'), 5,
                6, std::string(64, 'E'), std::string(1024, 'm')},
  };
  for (const JobRecord& r : cases) {
    const std::string bytes = archive::encode_record(r);
    archive::RecordRead read = archive::decode_record(bytes + "trailing");
    ASSERT_EQ(read.kind, archive::RecordRead::Kind::kRecord) << r.intent_id;
    EXPECT_EQ(read.size, bytes.size());
    EXPECT_EQ(read.record, r);
  }
  EXPECT_LT(archive::encode_record(record("order-20261209-000123")).size(), 120u) << "about 100 bytes an attempt";
}

TEST(ArchiveFormat, DamageIsToldFromAShortRead) {
  const std::string good = archive::encode_record(record("a"));
  struct Case {
    const char* name;
    std::string bytes;
    archive::RecordRead::Kind kind;
  } cases[] = {
      {"header cut", good.substr(0, 5), archive::RecordRead::Kind::kIncomplete},
      {"body cut", good.substr(0, good.size() - 1), archive::RecordRead::Kind::kIncomplete},
      {"flipped bit", [&] { std::string b = good; b[20] ^= 1; return b; }(), archive::RecordRead::Kind::kDamaged},
      {"zeros", std::string(40, '\0'), archive::RecordRead::Kind::kDamaged},
      {"huge length", std::string("\xff\xff\xff\x7f") + good.substr(4), archive::RecordRead::Kind::kDamaged},
      {"commit", archive::encode_commit(77), archive::RecordRead::Kind::kCommit},
  };
  for (const auto& c : cases) EXPECT_EQ(archive::decode_record(c.bytes).kind, c.kind) << c.name;
}

TEST(AttemptArchive, FindsEveryRecordThroughIndexAndTail) {
  MemoryFileSystem fs;
  fs.put_dir(kFolder);
  AttemptArchive archive(fs, kFolder);
  EXPECT_FALSE(find(archive, "order-1")) << "no archive yet";
  // Enough batches that the index is written, rewritten, and a tail stays.
  for (int b = 0; b < 12; ++b) ASSERT_TRUE(archive.add(records(b * 1000, (b + 1) * 1000)).ok());
  ASSERT_TRUE(fs.file(kIndex)) << "the index was written";
  for (int i : {0, 1, 999, 1000, 5555, 9999, 11999}) {
    std::optional<JobRecord> r = find(archive, "order-" + std::to_string(i));
    ASSERT_TRUE(r) << i;
    EXPECT_EQ(*r, record("order-" + std::to_string(i), 1000 + i));
  }
  EXPECT_FALSE(find(archive, "order-12000"));
  EXPECT_FALSE(find(archive, "order-"));

  // An intent archived again (after a crash between append and save) is
  // answered with its latest record.
  ASSERT_TRUE(archive.add({record("order-5", 1, JobState::kUnknown)}).ok());
  EXPECT_EQ(find(archive, "order-5")->state, JobState::kUnknown);

  // An index that is not one this host wrote is read past: the log decides,
  // and the lookup writes the index again.
  fs.put_file(kIndex, "garbage");
  EXPECT_TRUE(find(archive, "order-11999"));
  EXPECT_EQ(find(archive, "order-5")->state, JobState::kUnknown);
  ASSERT_TRUE(archive::decode_index_header(*fs.file(kIndex)));
  // A bit flipped in any entry of the index: a lookup of any intent fails
  // or finds its record, never misses it.
  const std::string good_index = *fs.file(kIndex);
  for (size_t byte : {size_t{32}, size_t{32 + 24 * 600 + 3}, size_t{32 + 24 * 5000 + 9}, good_index.size() - 30}) {
    std::string bad = good_index;
    bad[byte] ^= 0x08;
    fs.put_file(kIndex, bad);
    for (int i = 0; i < 12000; i += 7) {
      Result<std::optional<JobRecord>> r = archive.find("order-" + std::to_string(i));
      EXPECT_TRUE(!r.ok() || r.value().has_value()) << "order-" << i << " missed with byte " << byte << " flipped";
    }
  }
  fs.put_file(kIndex, good_index);
  fs.remove(kIndex);
  EXPECT_TRUE(find(archive, "order-0"));
  EXPECT_TRUE(fs.file(kIndex)) << "a deleted index is made again";
}

TEST(AttemptArchive, ACrashAtAnyStepOfAnAppendKeepsWhatWasCommitted) {
  // A power cut at every step, dropping what was not flushed, or keeping a
  // torn part of it (a few bytes, a page, all of it).
  for (size_t kept : {size_t{0}, size_t{5}, size_t{4096}, SIZE_MAX}) {
    for (int step = 0;; ++step) {
      MemoryFileSystem fs;
      fs.put_dir(kFolder);
      AttemptArchive archive(fs, kFolder);
      ASSERT_TRUE(archive.add(records(0, 2500)).ok());
      const int before = fs.operations();
      fs.crash_after(before + step);
      const bool finished = archive.add(records(2500, 5000)).ok();
      fs.power_cut(kept);
      const std::string where = "step " + std::to_string(step) + ", " + std::to_string(kept) + " bytes kept";
      AttemptArchive after(fs, kFolder);
      EXPECT_TRUE(find(after, "order-0")) << where;
      EXPECT_TRUE(find(after, "order-2499")) << where;
      const bool first = find(after, "order-2500").has_value();
      const bool last = find(after, "order-4999").has_value();
      EXPECT_EQ(first, last) << "an append counts whole or not at all, " << where;
      if (finished) {
        EXPECT_TRUE(first) << "a finished append is durable, " << where;
      }
      // The next append cuts off what a crash left and is found whole.
      ASSERT_TRUE(after.add({record("next")}).ok()) << where;
      EXPECT_TRUE(find(after, "next")) << where;
      EXPECT_TRUE(find(after, "order-2499")) << where;
      EXPECT_EQ(find(after, "order-4999").has_value(), last) << where;
      if (finished) break;
    }
  }
}

TEST(AttemptArchive, DamageBeforeACommittedBatchIsAnErrorNotAnEnd) {
  MemoryFileSystem fs;
  fs.put_dir(kFolder);
  AttemptArchive archive(fs, kFolder);
  ASSERT_TRUE(archive.add(records(0, 3)).ok());
  ASSERT_TRUE(archive.add(records(3, 6)).ok());
  std::string log = *fs.file(kLog);
  log[20] ^= 0x40;  // inside the first record
  fs.put_file(kLog, log);
  Result<std::optional<JobRecord>> r = archive.find("order-5");
  ASSERT_FALSE(r.ok()) << "a later batch must not vanish behind a damaged one";
  EXPECT_EQ(r.error().code, ErrorCode::kStateCorrupt);
  EXPECT_FALSE(archive.add(records(6, 7)).ok());
  EXPECT_EQ(fs.file(kLog), log) << "nothing cut off";
}

TEST(AttemptArchive, ReadFailuresAreErrorsNotAbsence) {
  MemoryFileSystem fs;
  fs.put_dir(kFolder);
  AttemptArchive archive(fs, kFolder);
  ASSERT_TRUE(archive.add(records(0, 10)).ok());
  fs.fail(Op::kRead, "archive.log");
  Result<std::optional<JobRecord>> r = archive.find("order-3");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().code, ErrorCode::kStateUnavailable);
  fs.clear_failures();
  fs.fail(Op::kSync, "archive.log");
  EXPECT_FALSE(archive.add(records(10, 20)).ok()) << "an append that is not flushed fails";
}

TEST(AttemptArchive, PrefixMatchesAreNewestFirstAndSkipTheLedgers) {
  MemoryFileSystem fs;
  fs.put_dir(kFolder);
  AttemptArchive archive(fs, kFolder);
  ASSERT_TRUE(archive.add(records(0, 30)).ok());
  ASSERT_TRUE(archive.add({record("other-1")}).ok());
  Result<AttemptArchive::Matches> m =
      archive.with_prefix("order-1", 3, [](std::string_view id) { return id == "order-19"; });
  ASSERT_TRUE(m.ok());
  EXPECT_EQ(m.value().matched, 10u) << "order-1 and order-10..18";
  ASSERT_EQ(m.value().records.size(), 3u);
  EXPECT_EQ(m.value().records[0].intent_id, "order-18");
  EXPECT_EQ(m.value().records[2].intent_id, "order-16");
}

}  // namespace
}  // namespace tph
