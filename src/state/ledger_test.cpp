#include <gtest/gtest.h>

#include "state/ledger_json.h"
#include "state/ledger_recovery.h"

namespace tph {
namespace {

JobRecord record(const std::string& id, JobState state, uint64_t updated) {
  return JobRecord{id, std::string(64, 'a'), state, "Label_PDF", "", updated, updated, "", ""};
}

TEST(LedgerJson, WritesTheExactLayout) {
  HostLedger empty{1, 7, {}};
  EXPECT_EQ(encode_ledger(empty).value(), "{\n  \"schema\": 1,\n  \"updated_at_ms\": 7,\n  \"jobs\": {}\n}");

  HostLedger l{1, 9, {}};
  l.jobs["b"] = JobRecord{"b", "ff", JobState::kSubmitted, "Q \"1\"\t/\x7f\xc3\xa9", "12", 3, 4, "", ""};
  l.jobs["B"] = record("B", JobState::kFailed, 2);
  const std::string expected =
      "{\n  \"schema\": 1,\n  \"updated_at_ms\": 9,\n  \"jobs\": {\n"
      "    \"B\": {\n      \"intent_id\": \"B\",\n      \"payload_sha256\": \"" + std::string(64, 'a') + "\",\n"
      "      \"state\": \"FAILED\",\n      \"printer\": \"Label_PDF\",\n      \"os_job_id\": \"\",\n"
      "      \"created_at_ms\": 2,\n      \"updated_at_ms\": 2,\n      \"error_code\": \"\",\n"
      "      \"error_message\": \"\"\n    },\n"
      "    \"b\": {\n      \"intent_id\": \"b\",\n      \"payload_sha256\": \"ff\",\n      \"state\": \"SUBMITTED\",\n"
      "      \"printer\": \"Q \\\"1\\\"\\t/\x7f\xc3\xa9\",\n      \"os_job_id\": \"12\",\n      \"created_at_ms\": 3,\n"
      "      \"updated_at_ms\": 4,\n      \"error_code\": \"\",\n      \"error_message\": \"\"\n    }\n  }\n}";
  EXPECT_EQ(encode_ledger(l).value(), expected);
  EXPECT_EQ(decode_ledger(expected).value(), l);
}

// What a record must hold to be answered from: its key is its intent_id,
// and its state one this host writes. A clock that stepped back may have
// left times out of order; that record is still the attempt's memory.
TEST(LedgerJson, RecordInvariantsOnLoad) {
  auto ledger = [](const std::string& key, const std::string& id, const std::string& state, int created, int updated) {
    return R"({"extra":{"a":1,"a":2},"schema":1,"updated_at_ms":5,"jobs":{")" + key + R"(":{"intent_id":")" + id +
           R"(","payload_sha256":"x","state":")" + state + R"(","printer":"p","os_job_id":"","created_at_ms":)" +
           std::to_string(created) + R"(,"updated_at_ms":)" + std::to_string(updated) +
           R"(,"error_code":"","error_message":"","note":[1]}}})";
  };
  const struct {
    std::string text;
    bool loads;
  } cases[] = {
      {ledger("k", "k", "FAILED", 1, 2), true},
      {ledger("k", "k", "COMPLETED", 9, 2), true},
      {ledger("k", "k", "weird", 1, 2), false},
      {ledger("k", "k", "failed", 1, 2), false},
      {ledger("k", "k", "", 1, 2), false},
      {ledger("k", "j", "FAILED", 1, 2), false},
      {ledger("k", "", "FAILED", 1, 2), false},
  };
  for (const auto& c : cases) {
    Result<HostLedger> l = decode_ledger(c.text);
    EXPECT_EQ(l.ok(), c.loads) << c.text;
    if (l.ok()) EXPECT_EQ(encode_ledger(l.value()).value().find("note"), std::string::npos);
  }
}

TEST(LedgerJson, LaterRecordWithTheSameKeyWins) {
  Result<HostLedger> l = decode_ledger(R"({"schema":1,"updated_at_ms":5,"jobs":{
    "k":{"intent_id":"k","payload_sha256":"x","state":"FAILED","printer":"first","os_job_id":"","created_at_ms":1,"updated_at_ms":2,"error_code":"","error_message":""},
    "k":{"intent_id":"k","payload_sha256":"x","state":"FAILED","printer":"second","os_job_id":"","created_at_ms":1,"updated_at_ms":2,"error_code":"","error_message":""}}})");
  ASSERT_TRUE(l.ok());
  EXPECT_EQ(l.value().jobs.at("k").printer, "second");
}

TEST(LedgerJson, RefusesWhatIsNotALedger) {
  const std::string rec = R"("intent_id":"k","payload_sha256":"x","state":"FAILED","printer":"p","os_job_id":"","created_at_ms":1,"updated_at_ms":2,"error_code":"")";
  const std::string cases[] = {
      "",
      "   ",
      "\xef\xbb\xbf{\"schema\":1,\"updated_at_ms\":1,\"jobs\":{}}",
      R"({"schema":1,"updated_at_ms":1})",
      R"({"schema":1,"updated_at_ms":1,"jobs":{},"schema":1})",
      R"({"schema":4294967296,"updated_at_ms":1,"jobs":{}})",
      R"({"schema":1,"updated_at_ms":-1,"jobs":{}})",
      R"({"schema":1,"updated_at_ms":1.5,"jobs":{}})",
      R"({"schema":1,"updated_at_ms":18446744073709551616,"jobs":{}})",
      R"({"schema":1,"updated_at_ms":1,"jobs":[]})",
      R"({"schema":1,"updated_at_ms":1,"jobs":{}} x)",
      R"({"schema":1,"updated_at_ms":1,"jobs":{"k":{)" + rec + "}}}",  // no error_message
      R"({"schema":1,"updated_at_ms":1,"jobs":{"k":{)" + rec + R"(,"error_message":"","state":"T"}}})",
      R"({"schema":1,"updated_at_ms":1,"jobs":{"k":{)" + rec + R"(,"error_message":null}}})",
      R"({"schema":1,"updated_at_ms":1,"jobs":{},"x":1,"x":[2]})",  // any name repeated
      // A record under another key than its intent, or without an intent.
      R"({"schema":1,"updated_at_ms":1,"jobs":{"other":{)" + rec + R"(,"error_message":""}}})",
      R"({"schema":1,"updated_at_ms":1,"jobs":{"":{)" + std::string(rec).replace(13, 1, "") + R"(,"error_message":""}}})",
      // Texts longer than this host ever writes them.
      R"({"schema":1,"updated_at_ms":1,"jobs":{"k":{)" + rec + R"(,"error_message":")" + std::string(1025, 'm') +
          "\"}}}",
      R"({"schema":1,"updated_at_ms":1,"jobs":{")" + std::string(161, 'k') + R"(":{)" + rec +
          R"(,"error_message":""}}})",
      // A number literal far longer than any number of ours, even where skipped.
      R"({"schema":1,"updated_at_ms":1,"jobs":{},"x":)" + std::string(2000, '7') + "}",
  };
  for (const auto& c : cases) EXPECT_FALSE(decode_ledger(c).ok()) << c.substr(0, 120);
  // Names repeated far apart, past the first thousands of other names, in
  // the document and in a record; known names repeated in a record.
  std::string many;
  for (int i = 0; i < 300'000; ++i) many += "\"n" + std::to_string(i) + "\":0,";
  EXPECT_FALSE(decode_ledger(R"({"schema":1,"dup":1,)" + many + R"("dup":2,"updated_at_ms":1,"jobs":{}})").ok());
  EXPECT_FALSE(decode_ledger(R"({"schema":1,"updated_at_ms":1,"jobs":{"k":{"n0":0,)" + rec + "," + many +
                             R"("error_message":""}}})").ok());
  EXPECT_FALSE(decode_ledger(R"({"schema":1,"updated_at_ms":1,"jobs":{"k":{)" + rec +
                             R"(,"printer":"q","error_message":""}}})").ok());
  EXPECT_TRUE(decode_ledger(R"({"schema":1,)" + many + R"("updated_at_ms":1,"jobs":{"k":{)" + many + rec +
                            R"(,"error_message":""}}})").ok());
  EXPECT_TRUE(decode_ledger(R"({"schema":1,"updated_at_ms":1,"jobs":{"k":{)" + rec + R"(,"error_message":")" +
                            std::string(1024, 'm') + "\"}}}").ok());
  EXPECT_TRUE(decode_ledger(R"( {"schema":2,"updated_at_ms":1,"jobs":{}} )").ok());  // the version is judged later
}

constexpr uint64_t kNow = 10'000'000'000ULL;

TEST(LedgerRecovery, DispatchingBecomesUnknown) {
  HostLedger l{1, 1, {}};
  l.jobs["a"] = record("a", JobState::kDispatching, kNow - 5);
  l.jobs["a"].os_job_id = "7";
  l.jobs["b"] = record("b", JobState::kSubmitted, kNow - 5);
  EXPECT_TRUE(recover_and_prune(l, kNow));
  const JobRecord& a = l.jobs.at("a");
  EXPECT_EQ(a.state, JobState::kUnknown);
  EXPECT_EQ(a.error_code, "HOST_RESTARTED");
  EXPECT_EQ(a.error_message, "The helper restarted before the operating system acknowledged this job.");
  EXPECT_EQ(a.updated_at_ms, kNow);
  EXPECT_EQ(a.created_at_ms, kNow - 5);
  EXPECT_EQ(a.os_job_id, "7");
  EXPECT_EQ(l.jobs.at("b").updated_at_ms, kNow - 5);
  EXPECT_EQ(l.updated_at_ms, kNow);
}

TEST(LedgerRecovery, RetentionWindowBoundary) {
  HostLedger l{1, 1, {}};
  l.jobs["edge"] = record("edge", JobState::kFailed, kNow - kRetentionWindowMs);
  l.jobs["old"] = record("old", JobState::kFailed, kNow - kRetentionWindowMs - 1);
  EXPECT_TRUE(recover_and_prune(l, kNow));
  EXPECT_TRUE(l.jobs.count("edge"));
  EXPECT_FALSE(l.jobs.count("old"));
  EXPECT_FALSE(recover_and_prune(l, kNow));  // nothing more to do: no save needed
}

TEST(LedgerRecovery, ClockBefore1970PrunesNothing) {
  HostLedger l{1, 1, {}};
  l.jobs["a"] = record("a", JobState::kFailed, 0);
  EXPECT_FALSE(recover_and_prune(l, 0));
  EXPECT_TRUE(l.jobs.count("a"));
}

TEST(LedgerRecovery, RecordCapDropsOldestWithStableTieBreak) {
  HostLedger l{1, 1, {}};
  for (int i = 0; i < 5001; ++i) {
    char key[16];
    std::snprintf(key, sizeof key, "k%05d", i);
    l.jobs[key] = record(key, JobState::kCompleted, kNow - 1000 + (i % 7 == 3 ? 0 : 500));
  }
  // k00003 and k00010 share the oldest time; the smaller key goes.
  EXPECT_TRUE(recover_and_prune(l, kNow));
  EXPECT_EQ(l.jobs.size(), kRecordCap);
  EXPECT_FALSE(l.jobs.count("k00003"));
  EXPECT_TRUE(l.jobs.count("k00010"));

  l.jobs["k99999"] = record("k99999", JobState::kCompleted, kNow);
  l.jobs["k99998"] = record("k99998", JobState::kCompleted, kNow);
  EXPECT_TRUE(recover_and_prune(l, kNow));
  EXPECT_EQ(l.jobs.size(), kRecordCap);
  EXPECT_FALSE(l.jobs.count("k00010"));
  EXPECT_FALSE(l.jobs.count("k00017"));
}

}  // namespace
}  // namespace tph
