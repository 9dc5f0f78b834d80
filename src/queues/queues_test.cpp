#include <gtest/gtest.h>

#include "fakes/test_host.h"
#include "queues/job_query.h"
#include "state/attempt_state.h"
#include "state/ledger_json.h"

namespace tph {
namespace {

using testing::TestHost;

TEST(SpoolerJobId, Forms) {
  EXPECT_EQ(parse_spooler_job_id("+42"), 42u);
  EXPECT_EQ(parse_spooler_job_id("0042"), 42u);
  EXPECT_EQ(parse_spooler_job_id("4294967295"), 4294967295u);
  for (const char* bad : {"-42", "4294967296", "", "+", "-", "4 2", "42x", "99999999999999999999"}) {
    EXPECT_FALSE(parse_spooler_job_id(bad)) << bad;
  }
}

JobRecord in_flight(JobState state, const std::string& job) {
  return JobRecord{"intent-1", std::string(64, 'a'), state, "Label_PDF", job, 100, 200, "", ""};
}

TEST(GetJob, Transitions) {
  using O = JobObservation;
  const O deleted = O::kDeleted, printed = O::kCompleted, complete = O::kCompleted, queued = O::kActive;
  const O gone = O::kNoSuchJob, other_error = O::kQueryFailed, cannot_open = O::kQueryFailed;
  struct Case {
    JobState stored;
    std::string job_id;
    JobObservation answer;
    JobState result;
    bool saved;
  } cases[] = {
      {JobState::kSubmitted, "42", deleted, JobState::kUnknown, true},      {JobState::kSubmitted, "42", printed, JobState::kCompleted, true},
      {JobState::kSubmitted, "42", complete, JobState::kCompleted, true},   {JobState::kSubmitted, "42", queued, JobState::kObserved, true},
      {JobState::kSubmitted, "42", gone, JobState::kSubmitted, false},      {JobState::kObserved, "42", deleted, JobState::kUnknown, true},
      {JobState::kObserved, "42", printed, JobState::kCompleted, true},     {JobState::kObserved, "42", queued, JobState::kObserved, false},
      {JobState::kObserved, "42", gone, JobState::kUnknown, true},          {JobState::kObserved, "42", other_error, JobState::kObserved, false},
      {JobState::kSubmitted, "42", cannot_open, JobState::kSubmitted, false}, {JobState::kObserved, "+42", gone, JobState::kUnknown, true},
      {JobState::kObserved, "0042", gone, JobState::kUnknown, true},        {JobState::kObserved, "-42", gone, JobState::kObserved, false},
      {JobState::kObserved, "4294967296", gone, JobState::kObserved, false}, {JobState::kSubmitted, "", printed, JobState::kSubmitted, false},
      {JobState::kCompleted, "42", deleted, JobState::kCompleted, false},   {JobState::kFailed, "42", printed, JobState::kFailed, false},
      {JobState::kUnknown, "42", printed, JobState::kUnknown, false},       {JobState::kDispatching, "42", printed, JobState::kDispatching, false},
  };
  for (const auto& c : cases) {
    TestHost host;
    host.open();
    host.store->ledger.jobs["intent-1"] = in_flight(c.stored, c.job_id);
    host.spooler.jobs[42] = c.answer;
    host.clock.set_ms(9999);
    Result<JobRecord> r = get_job("intent-1", *host.store, host.spooler, host.clock);
    ASSERT_TRUE(r.ok());
    const std::string what = std::string(state_name(c.stored)) + " " + c.job_id;
    EXPECT_EQ(r.value().state, c.result) << what;
    EXPECT_EQ(r.value().updated_at_ms, c.saved ? 9999u : 200u) << what;
    EXPECT_EQ(host.fs.file(TestHost::kLedger).has_value(), c.saved) << what;
    if (c.saved) {
      EXPECT_EQ(decode_ledger(*host.fs.file(TestHost::kLedger)).value().jobs.at("intent-1").state, c.result);
    }
  }
}

TEST(GetJob, ReplyAndFailures) {
  TestHost host;
  host.open();
  EXPECT_EQ(host.handle(R"({"protocol":1,"request_id":"r","type":"get_job","payload":{"intent_id":"nope"}})"),
            R"({"protocol":1,"request_id":"r","ok":false,"error":{"code":"JOB_NOT_FOUND","message":"No print attempt has that identifier."}})");
  host.store->ledger.jobs["intent-1"] = in_flight(JobState::kFailed, "");
  EXPECT_EQ(host.handle(R"({"protocol":1,"request_id":"r","type":"get_job","payload":{"intent_id":"intent-1","x":1}})"),
            R"({"protocol":1,"request_id":"r","ok":true,"result":{"created_at_ms":100,"error_code":"","error_message":"",)"
            R"("intent_id":"intent-1","os_job_id":"","payload_sha256":")" + std::string(64, 'a') +
                R"(","printer":"Label_PDF","state":"FAILED","updated_at_ms":200}})");
  host.store->ledger.jobs["intent-1"] = in_flight(JobState::kSubmitted, "42");
  host.spooler.jobs[42] = JobObservation::kCompleted;
  host.fs.fail(testing::MemoryFileSystem::Op::kReplace, "ledger.json", 5);
  std::string reply = host.handle(R"({"protocol":1,"request_id":"r","type":"get_job","payload":{"intent_id":"intent-1"}})");
  EXPECT_NE(reply.find("STATE_UNAVAILABLE"), std::string::npos) << reply;
  EXPECT_EQ(host.store->ledger.jobs.at("intent-1").state, JobState::kCompleted) << "the change stays in memory";
}

}  // namespace
}  // namespace tph
