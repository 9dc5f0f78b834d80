#include <gtest/gtest.h>

#include "fakes/test_host.h"
#include "platform/system_error.h"
#include "queues/job_query.h"
#include "queues/queue_listing.h"
#include "queues/queue_state.h"
#include "state/ledger_json.h"

namespace tph {
namespace {

using testing::FakeSpooler;
using testing::TestHost;

TEST(QueueState, StatusBits) {
  struct Case {
    std::optional<uint32_t> status;
    std::string state;
    bool enabled;
  } cases[] = {
      {std::nullopt, "unavailable", false}, {0x0, "idle", true},         {0x1 | 0x80, "paused", false},
      {0x80 | 0x8, "offline", false},       {0x8, "error", false},       {0x20000, "idle", true},
      {0x200 | 0x400000, "error", false},   {0x400, "printing", true},   {0x10000, "printing", true},
      {0x1000000 | 0x2000000 | 0x4000000, "idle", true},                 {0x800000, "error", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(queue_state(c.status), c.state) << (c.status ? *c.status : 0xFFFFFFFF);
    EXPECT_EQ(queue_enabled(queue_state(c.status)), c.enabled);
  }
}

TEST(ListPrinters, SortsByBytesAndMapsStates) {
  FakeSpooler spooler;
  spooler.add_queue(u"label A", 0);
  spooler.add_queue(u"Queue B", 0x1 | 0x80);
  spooler.add_queue(u"Label 2", 0x400);
  spooler.add_queue(u"Label", 0x8);
  spooler.add_queue(u"Label", 0x20000);  // the same name: both are listed, looked up by that name
  spooler.enumeration.names.push_back(RawQueueName{true, true, {}});      // null name: skipped
  spooler.enumeration.names.push_back(RawQueueName{false, true, u""});    // empty name: skipped
  spooler.enumeration.names.push_back(RawQueueName{false, true, u"Denied"});  // cannot be opened
  spooler.default_name = u"Elsewhere";
  Result<Json> r = list_printers(spooler);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value().dump(),
            R"({"default_printer":"Elsewhere","printers":[)"
            R"({"enabled":false,"name":"Denied","state":"unavailable","uri":"winspool"},)"
            R"({"enabled":true,"name":"Label","state":"idle","uri":"winspool"},)"
            R"({"enabled":true,"name":"Label","state":"idle","uri":"winspool"},)"
            R"({"enabled":true,"name":"Label 2","state":"printing","uri":"winspool"},)"
            R"({"enabled":false,"name":"Queue B","state":"paused","uri":"winspool"},)"
            R"({"enabled":true,"name":"label A","state":"idle","uri":"winspool"}]})");
  EXPECT_EQ(spooler.enumeration.names.size(), 8u);
}

TEST(ListPrinters, NameEdgeCases) {
  {
    FakeSpooler spooler;
    spooler.add_queue(std::u16string(32767, u'q'), 0);
    spooler.enumeration.names.push_back(RawQueueName{false, true, std::u16string(1, char16_t(0xD800)) + u"x"});
    Result<Json> r = list_printers(spooler);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value()["printers"][0]["name"], std::string(32767, 'q'));
    EXPECT_EQ(r.value()["printers"][1]["name"], "\xef\xbf\xbdx");
    EXPECT_EQ(r.value()["printers"][1]["state"], "unavailable");
  }
  {
    FakeSpooler spooler;
    spooler.add_queue(u"fine", 0);
    spooler.enumeration.names.push_back(RawQueueName{false, false, std::u16string(32768, u'q')});
    Result<Json> r = list_printers(spooler);
    ASSERT_FALSE(r.ok());
    EXPECT_STREQ(r.error().code, "PRINT_SYSTEM_UNAVAILABLE");
    EXPECT_EQ(r.error().message, "Windows returned an invalid print-queue name.");
  }
  {
    FakeSpooler spooler;
    spooler.enumeration.status = OsStatus::Fail(1722, describe_system_error(1722));
    Result<Json> r = list_printers(spooler);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message, "Windows could not enumerate print queues: " + describe_system_error(1722));
  }
  {
    FakeSpooler spooler;
    spooler.default_name = u"Somewhere";
    EXPECT_EQ(list_printers(spooler).value().dump(), R"({"default_printer":"Somewhere","printers":[]})");
  }
}

TEST(SpoolerJobId, Forms) {
  EXPECT_EQ(parse_spooler_job_id("+42"), 42u);
  EXPECT_EQ(parse_spooler_job_id("0042"), 42u);
  EXPECT_EQ(parse_spooler_job_id("4294967295"), 4294967295u);
  for (const char* bad : {"-42", "4294967296", "", "+", "-", "4 2", "42x", "99999999999999999999"}) {
    EXPECT_FALSE(parse_spooler_job_id(bad)) << bad;
  }
}

JobRecord in_flight(const std::string& state, const std::string& job) {
  return JobRecord{"intent-1", std::string(64, 'a'), state, "Label_PDF", job, 100, 200, "", ""};
}

TEST(GetJob, Transitions) {
  const JobQuery deleted{true, true, 0x100 | 0x1000, 0};
  const JobQuery printed{true, true, 0x80, 0};
  const JobQuery complete{true, true, 0x1000, 0};
  const JobQuery queued{true, true, 0x2 | 0x10, 0};  // error and paused: still just observed
  const JobQuery gone{true, false, 0, 87};
  const JobQuery other_error{true, false, 0, 5};
  const JobQuery cannot_open{};
  struct Case {
    std::string stored;
    std::string job_id;
    JobQuery answer;
    std::string result;
    bool saved;
  } cases[] = {
      {"SUBMITTED", "42", deleted, "UNKNOWN", true},      {"SUBMITTED", "42", printed, "COMPLETED", true},
      {"SUBMITTED", "42", complete, "COMPLETED", true},   {"SUBMITTED", "42", queued, "OBSERVED", true},
      {"SUBMITTED", "42", gone, "SUBMITTED", false},      {"OBSERVED", "42", deleted, "UNKNOWN", true},
      {"OBSERVED", "42", printed, "COMPLETED", true},     {"OBSERVED", "42", queued, "OBSERVED", false},
      {"OBSERVED", "42", gone, "UNKNOWN", true},          {"OBSERVED", "42", other_error, "OBSERVED", false},
      {"SUBMITTED", "42", cannot_open, "SUBMITTED", false}, {"OBSERVED", "+42", gone, "UNKNOWN", true},
      {"OBSERVED", "0042", gone, "UNKNOWN", true},        {"OBSERVED", "-42", gone, "OBSERVED", false},
      {"OBSERVED", "4294967296", gone, "OBSERVED", false}, {"SUBMITTED", "", printed, "SUBMITTED", false},
      {"COMPLETED", "42", deleted, "COMPLETED", false},   {"FAILED", "42", printed, "FAILED", false},
      {"UNKNOWN", "42", printed, "UNKNOWN", false},       {"DISPATCHING", "42", printed, "DISPATCHING", false},
  };
  for (const auto& c : cases) {
    TestHost host;
    host.open();
    host.store->ledger.jobs["intent-1"] = in_flight(c.stored, c.job_id);
    host.spooler.jobs[42] = c.answer;
    host.spooler.queue_opens = c.answer.opened;
    host.clock.set_ms(9999);
    Result<Json> r = get_job("intent-1", *host.store, host.spooler, host.clock);
    ASSERT_TRUE(r.ok());
    const std::string what = c.stored + " " + c.job_id;
    EXPECT_EQ(r.value()["state"], c.result) << what;
    EXPECT_EQ(r.value()["updated_at_ms"], c.saved ? 9999u : 200u) << what;
    EXPECT_EQ(host.fs.file(TestHost::kLedger).has_value(), c.saved) << what;
    if (c.saved) {
      EXPECT_EQ(decode_ledger(*host.fs.file(TestHost::kLedger))->jobs.at("intent-1").state, c.result);
    }
  }
}

TEST(GetJob, ReplyAndFailures) {
  TestHost host;
  host.open();
  EXPECT_EQ(host.handle(R"({"protocol":1,"request_id":"r","type":"get_job","payload":{"intent_id":"nope"}})"),
            R"({"protocol":1,"request_id":"r","ok":false,"error":{"code":"JOB_NOT_FOUND","message":"No print attempt has that identifier."}})");
  host.store->ledger.jobs["intent-1"] = in_flight("FAILED", "");
  EXPECT_EQ(host.handle(R"({"protocol":1,"request_id":"r","type":"get_job","payload":{"intent_id":"intent-1","x":1}})"),
            R"({"protocol":1,"request_id":"r","ok":true,"result":{"created_at_ms":100,"error_code":"","error_message":"",)"
            R"("intent_id":"intent-1","os_job_id":"","payload_sha256":")" + std::string(64, 'a') +
                R"(","printer":"Label_PDF","state":"FAILED","updated_at_ms":200}})");
  host.store->ledger.jobs["intent-1"] = in_flight("SUBMITTED", "42");
  host.spooler.jobs[42] = JobQuery{true, true, 0x1000, 0};
  host.fs.fail(testing::MemoryFileSystem::Op::kReplace, "ledger.json", 5);
  std::string reply = host.handle(R"({"protocol":1,"request_id":"r","type":"get_job","payload":{"intent_id":"intent-1"}})");
  EXPECT_NE(reply.find("STATE_UNAVAILABLE"), std::string::npos) << reply;
  EXPECT_EQ(host.store->ledger.jobs.at("intent-1").state, "COMPLETED") << "the change stays in memory";
}

}  // namespace
}  // namespace tph
