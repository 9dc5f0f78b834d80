#include "submit/submit_attempt.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "fakes/test_data.h"
#include "fakes/test_host.h"
#include "platform/system_error.h"
#include "state/attempt_archive.h"
#include "state/attempt_state.h"
#include "state/job_uuid.h"
#include "state/ledger_json.h"
#include "state/ledger_recovery.h"
#include "support/error_catalogue.h"

namespace tph {
namespace {

using testing::MemoryFileSystem;
using testing::TestHost;
using Op = MemoryFileSystem::Op;

std::string base64_of_file(const std::string& name) { return testing::encode_base64(testing::read_data(name)); }

struct Submit {
  std::string intent = "intent-1";
  std::string printer = "Label_PDF";
  std::string title = "Label";
  int copies = 1;
  std::string media = "null";
  int dpi = 300;
  std::string file = "label_40x20.png";
  int width = 40;

  std::string body() const {
    return R"({"protocol":1,"request_id":"r","type":"submit","payload":{"intent_id":")" + intent +
           R"(","printer":")" + printer + R"(","title":")" + title + R"(","copies":)" + std::to_string(copies) +
           R"(,"media":)" + media + R"(,"dpi":)" + std::to_string(dpi) +
           R"(,"payload":{"format":"png","base64":")" + base64_of_file(file) + R"(","width_px":)" +
           std::to_string(width) + R"(,"height_px":20}}})";
  }
};

std::string ok_reply(bool duplicate, const std::string& state = "SUBMITTED", const std::string& job = "42") {
  return R"({"protocol":1,"request_id":"r","ok":true,"result":{"duplicate":)" + std::string(duplicate ? "true" : "false") +
         R"(,"intent_id":"intent-1","os_job_id":")" + job + R"(","printer":"Label_PDF","state":")" + state + "\"}}";
}
std::string error_reply(const std::string& code, const std::string& message) {
  return R"({"protocol":1,"request_id":"r","ok":false,"error":{"code":")" + code + R"(","message":")" + message + "\"}}";
}
// The conflict names the attempt that first used the identifier.
std::string conflict_reply(uint64_t created_ms, const std::string& state) {
  return R"({"protocol":1,"request_id":"r","ok":false,"error":{"code":"INTENT_CONFLICT","earlier_attempt":{"created_at_ms":)" +
         std::to_string(created_ms) + R"(,"printer":"Label_PDF","state":")" + state +
         R"("},"message":"This print-attempt identifier was already used for different output."}})";
}
const std::string kConflict = conflict_reply(1000, "SUBMITTED");
const std::string kFailedBefore = error_reply(
    "ATTEMPT_FAILED", "This attempt already failed. Use a deliberate reprint attempt with a new identifier.");
const std::string kUnknownOutcome =
    error_reply("UNKNOWN_OUTCOME",
                "This attempt may already be in the operating-system queue. Use a deliberate reprint attempt instead "
                "of resubmitting it.");

JobRecord stored(TestHost& host, const std::string& id = "intent-1") {
  Result<HostLedger> l = decode_ledger(*host.fs.file(TestHost::kLedger));
  return l.value().jobs.at(id);
}

TEST(SubmitAttempt, PrintsOnceAndAnswersRepeatsFromTheLedger) {
  TestHost host;
  host.open();
  host.clock.set_ms(1000);
  EXPECT_EQ(host.handle(Submit{}.body()), ok_reply(false));
  ASSERT_EQ(host.print_log->documents, 1);
  JobRecord r = stored(host);
  EXPECT_EQ(r.state, JobState::kSubmitted);
  EXPECT_EQ(r.os_job_id, "42");
  EXPECT_EQ(r.error_code, "");
  EXPECT_EQ(r.created_at_ms, 1000u);
  EXPECT_EQ(r.payload_sha256.size(), 64u);
  // The job carries the attempt's uuid, which get_job asks the spooler for.
  EXPECT_EQ(host.print_log->job_uuid, attempt_job_uuid("intent-1", 1000));
  EXPECT_EQ(host.print_log->job_uuid.size(), 45u);
  EXPECT_NE(attempt_job_uuid("intent-1", 1001), attempt_job_uuid("intent-1", 1000));
  host.handle(R"({"protocol":1,"request_id":"r","type":"get_job","payload":{"intent_id":"intent-1"}})");
  EXPECT_EQ(host.spooler.last_uuid, host.print_log->job_uuid);

  Submit other_title;
  other_title.title = "Another title";
  EXPECT_EQ(host.handle(other_title.body()), ok_reply(true));
  EXPECT_EQ(host.print_log->documents, 1) << "a repeat prints nothing";

  for (auto change : std::vector<std::function<void(Submit&)>>{
           [](Submit& s) { s.copies = 2; }, [](Submit& s) { s.dpi = 301; },
           [](Submit& s) { s.printer = "Other"; }, [](Submit& s) { s.file = "label_40x20_b.png"; }}) {
    Submit s;
    change(s);
    EXPECT_EQ(host.handle(s.body()), kConflict);
  }
  Submit invalid;
  invalid.copies = 11;
  EXPECT_EQ(host.handle(invalid.body()), error_reply("BAD_REQUEST", "Copies must be between 1 and 10."));
  EXPECT_EQ(host.print_log->documents, 1);
}

TEST(SubmitAttempt, RecordsEachPrintOutcome) {
  struct Case {
    std::string name;
    std::function<void(TestHost&, Submit&)> setup;
    std::string code;
    JobState state;
    std::string repeat;
  } cases[] = {
      {"media token", [](TestHost&, Submit& s) { s.media = R"("na_index-4x6_4x6in")"; }, "MEDIA_UNSUPPORTED", JobState::kFailed, kFailedBefore},
      {"queue", [](TestHost& h, Submit&) { h.print_log->fail_on = {{"open", 1}}; }, "PRINTER_UNAVAILABLE", JobState::kFailed, kFailedBefore},
      {"misfit", [](TestHost& h, Submit&) { h.print_log->geometry.printable_width = 10; }, "MEDIA_MISMATCH", JobState::kFailed, kFailedBefore},
      {"rejected", [](TestHost& h, Submit&) { h.print_log->fail_on = {{"start", 1}}; }, "SUBMISSION_REJECTED", JobState::kFailed, kFailedBefore},
      {"end doc", [](TestHost& h, Submit&) { h.print_log->fail_on = {{"finish", 1}}; }, "UNKNOWN_OUTCOME", JobState::kUnknown, kUnknownOutcome},
  };
  for (const auto& c : cases) {
    TestHost host;
    host.open();
    Submit s;
    c.setup(host, s);
    std::string reply = host.handle(s.body());
    EXPECT_NE(reply.find("\"code\":\"" + c.code + "\""), std::string::npos) << c.name << ": " << reply;
    JobRecord r = stored(host);
    EXPECT_EQ(r.state, c.state) << c.name;
    EXPECT_EQ(r.error_code, c.code) << c.name;
    // An outcome left unknown still names the job the print system made.
    EXPECT_EQ(r.os_job_id, c.state == JobState::kUnknown ? "42" : "") << c.name;
    EXPECT_NE(reply.find(r.error_message), std::string::npos) << c.name;
    EXPECT_EQ(host.handle(s.body()), c.repeat) << c.name;
  }
}

TEST(SubmitAttempt, MediaTokenThenWithout) {
  TestHost host;
  host.open();
  Submit with_media;
  with_media.media = R"("roll")";
  host.handle(with_media.body());
  EXPECT_EQ(host.print_log->documents, 0) << "a media token never reaches the print system";
  EXPECT_EQ(host.handle(Submit{}.body()), conflict_reply(1700000000000, "FAILED"));
}

TEST(SubmitAttempt, NothingIsPrintedWhenTheAttemptCannotBeRecorded) {
  TestHost host;
  host.open();
  host.fs.fail(Op::kReplace, "ledger.json", 28);
  EXPECT_EQ(host.handle(Submit{}.body()),
            error_reply("STATE_UNAVAILABLE", "Cannot save print-helper state: " + describe_system_error(28)));
  EXPECT_EQ(host.print_log->documents, 0);
  host.fs.clear_failures();
  EXPECT_EQ(host.handle(Submit{}.body()), kUnknownOutcome);
  EXPECT_EQ(host.print_log->documents, 0);
}

TEST(SubmitAttempt, NothingIsPrintedOnceTheLockNoLongerGuardsTheState) {
  TestHost host;
  host.open();
  // Deleted between messages: the next message locks the file now at the
  // path, the one every other host locks, and prints.
  host.fs.remove(std::string(TestHost::kFolder) + "/ledger.lock");
  EXPECT_NE(host.handle(Submit{}.body()).find("\"ok\":true"), std::string::npos);
  EXPECT_TRUE(host.fs.file(std::string(TestHost::kFolder) + "/ledger.lock"));
  EXPECT_FALSE(host.fs.locked()) << "and lets it go after the message";
  EXPECT_EQ(host.print_log->documents, 1);
  host.print_log->documents = 0;
  // Deleted while the lock is held for a message: another may now lock a
  // new file there.
  ASSERT_TRUE(hold_state(*host.store, host.clock).ok());
  const std::optional<std::string> before = host.fs.file(TestHost::kLedger);
  host.fs.remove(std::string(TestHost::kFolder) + "/ledger.lock");
  Submit other;
  other.intent = "intent-2";
  EXPECT_EQ(host.handle(other.body()), error_reply("STATE_UNAVAILABLE", std::string(errors::kMsgStateMoved)));
  EXPECT_EQ(host.print_log->documents, 0);
  EXPECT_TRUE(host.store->lost);
  EXPECT_EQ(host.fs.file(TestHost::kLedger), before) << "nothing saved through a lock that guards nothing";
}

TEST(SubmitAttempt, ALongRunPrunesBeforeTheLedgerOutgrowsItsBound) {
  TestHost host;
  host.open();
  const uint64_t now = 1'700'000'000'000;
  host.clock.set_ms(now);
  for (size_t i = 0; i < kMaxLedgerRecords; ++i) {
    const std::string id = "old-" + std::to_string(i);
    const uint64_t t = now - kMaxLedgerRecords + i;  // all within the retention window
    host.store->ledger.jobs[id] = JobRecord{id, std::string(64, 'a'), JobState::kFailed, "Q", "", t, t, "", ""};
  }
  EXPECT_EQ(host.handle(Submit{}.body()), ok_reply(false));
  EXPECT_EQ(host.store->ledger.jobs.size(), kRecordCap + 1);
  EXPECT_EQ(host.store->ledger.jobs.count("old-0"), 0u) << "the oldest go first";
  EXPECT_NE(host.handle(R"({"protocol":1,"request_id":"r","type":"get_job","payload":{"intent_id":"old-0"}})")
                .find(R"("state":"FAILED")"),
            std::string::npos)
      << "and are kept in the archive";
  EXPECT_EQ(host.store->ledger.jobs.count("old-" + std::to_string(kMaxLedgerRecords - 1)), 1u);
}

TEST(SubmitAttempt, OutcomeSaveFailureSaysTheLabelWasHandedOverAndStops) {
  TestHost host;
  host.open();
  // The attempt's first save passes; from its outcome save on, every file
  // operation fails, as if the process died right there.
  host.fs.crash_at(Op::kOpenReplace, "ledger.json", 2);
  std::string reply = host.handle(Submit{}.body());
  EXPECT_NE(reply.find(R"("ok":true)"), std::string::npos) << "a printed label is no failure: " << reply;
  EXPECT_NE(reply.find(R"("os_job_id":"42")"), std::string::npos) << reply;
  EXPECT_NE(reply.find(R"("outcome_saved":false)"), std::string::npos) << reply;
  EXPECT_NE(reply.find(R"("host_stopping":true)"), std::string::npos) << reply;
  EXPECT_TRUE(host.store->lost) << "the host serves nothing more";
  EXPECT_EQ(host.print_log->documents, 1) << "the label was handed over";
  EXPECT_EQ(host.store->ledger.jobs.at("intent-1").state, JobState::kSubmitted);
  EXPECT_EQ(stored(host).state, JobState::kDispatching);

  // The process dies now; the next start reports the attempt as unknown.
  host.close();
  host.fs.power_cut();
  host.clock.advance_ms(10);
  host.open();
  JobRecord r = stored(host);
  EXPECT_EQ(r.state, JobState::kUnknown);
  EXPECT_EQ(r.error_code, "HOST_RESTARTED");
  EXPECT_EQ(host.handle(Submit{}.body()), kUnknownOutcome);
  EXPECT_EQ(host.print_log->documents, 1) << "printed at most once";
}

TEST(SubmitAttempt, FindJobsListsTheLedgerAndTheArchiveTogether) {
  TestHost host;
  host.fs.put_dir(TestHost::kFolder);
  // Archived attempts (one of them also still in the ledger, newer there).
  AttemptArchive archive(host.fs, TestHost::kFolder);
  auto rec = [](const std::string& id, uint64_t created, JobState state) {
    return JobRecord{id, std::string(64, 'a'), state, "Q", "1", created, created, "", ""};
  };
  ASSERT_TRUE(archive.add({rec("order-1.a", 10, JobState::kCompleted), rec("order-1.b", 30, JobState::kCompleted),
                           rec("order-2.a", 40, JobState::kCompleted), rec("order-1.c", 50, JobState::kSubmitted)}).ok());
  host.open();
  host.store->ledger.jobs["order-1.c"] = rec("order-1.c", 50, JobState::kCompleted);
  host.store->ledger.jobs["order-1.d"] = rec("order-1.d", 20, JobState::kFailed);
  auto ids = [&host](int limit) {
    const std::string reply = host.handle(R"({"protocol":1,"request_id":"r","type":"find_jobs","payload":)"
                                          R"({"intent_prefix":"order-1.","limit":)" + std::to_string(limit) + "}}");
    std::string out;
    for (size_t at = reply.find("\"intent_id\":\""); at != std::string::npos;
         at = reply.find("\"intent_id\":\"", at + 1)) {
      out += reply.substr(at + 13, 9) + (reply.find("\"state\":\"COMPLETED\"", at) < reply.find("}", at) ? "+" : "-") + " ";
    }
    return out + (reply.find("\"truncated\":true") != std::string::npos ? "more" : "all");
  };
  EXPECT_EQ(ids(10), "order-1.c+ order-1.b+ order-1.d- order-1.a+ all") << "newest first, the ledger's record wins";
  EXPECT_EQ(ids(2), "order-1.c+ order-1.b+ more");
  EXPECT_EQ(ids(4), "order-1.c+ order-1.b+ order-1.d- order-1.a+ all");
}

TEST(SubmitAttempt, ARequestThatWouldPrintTooMuchIsRefusedBeforeAnythingIsDecoded) {
  auto document = [](int pages, int copies) {
    std::string list;
    for (int i = 0; i < pages; ++i) {
      list += std::string(i ? "," : "") + R"({"format":"png","base64":"!!","width_px":10000,"height_px":10000})";
    }
    return R"({"protocol":1,"request_id":"r","type":"submit_document","payload":{"intent_id":"big","printer":"Q",)"
           R"("title":"t","copies":)" + std::to_string(copies) + R"(,"media":null,"dpi":300,"pages":[)" + list + "]}}";
  };
  struct Case {
    int pages, copies;
    const char* code;
  } cases[] = {
      {5, 9, "PAYLOAD_TOO_LARGE"},  // 4.5 billion pixels
      {41, 1, "PAYLOAD_TOO_LARGE"},
      {4, 10, "BAD_REQUEST"},  // exactly at the bound: the (broken) payload is looked at
      {1, 10, "BAD_REQUEST"},
  };
  for (const Case& c : cases) {
    TestHost host;
    host.open();
    const std::string reply = host.handle(document(c.pages, c.copies));
    EXPECT_NE(reply.find(c.code), std::string::npos) << c.pages << " x " << c.copies << ": " << reply;
    EXPECT_FALSE(host.fs.file(TestHost::kLedger)) << "nothing recorded";
  }
}

// After the model of SQLite's crash tests: every file operation of a
// submit fails in turn (once), and then a power cut comes at each point of
// it, dropping whatever was not flushed. After each, the host starts again
// and the same attempt is sent once more. Whatever the point:
// - never two deliveries for one intent;
// - never SUBMITTED (answered or on disk) without a delivery;
// - never a failure answered for a delivered label unless it says that the
//   label may have been delivered (UNKNOWN_OUTCOME).
TEST(SubmitAttempt, CrashConsistencySweep) {
  auto deliveries = [](const TestHost& host) {
    return std::count(host.print_log->steps.begin(), host.print_log->steps.end(), "finish");
  };
  auto on_disk = [](TestHost& host) -> std::string {
    std::optional<std::string> bytes = host.fs.file(TestHost::kLedger);
    if (!bytes) return "";
    Result<HostLedger> l = decode_ledger(*bytes);
    if (!l.ok() || !l.value().jobs.count("intent-1")) return "";
    return std::string(state_name(l.value().jobs.at("intent-1").state));
  };
  for (bool power_cut : {false, true}) {
    int points = 0;
    for (int k = 0;; ++k) {
      TestHost host;
      host.open();
      const int base = host.fs.operations();
      if (power_cut) {
        host.fs.crash_after(base + k);
      } else {
        host.fs.fail_once_at(base + k);
      }
      const std::string first = host.handle(Submit{}.body());
      const bool hit = host.fs.operations() > base + k;
      const auto delivered = deliveries(host);
      const std::string where = (power_cut ? "power cut at " : "failure at ") + std::to_string(k) + ": " + first;
      if (first.find(R"("ok":true)") != std::string::npos) {
        EXPECT_EQ(delivered, 1) << where;
      } else if (delivered > 0) {
        EXPECT_NE(first.find("UNKNOWN_OUTCOME"), std::string::npos) << where;
      }
      // The process ends (and with a power cut, so does what was not flushed).
      host.close();
      if (power_cut) host.fs.power_cut();
      host.fs.fail_once_at(-1);
      if (on_disk(host) == "SUBMITTED") EXPECT_EQ(delivered, 1) << where;
      host.clock.advance_ms(10);
      host.open();
      const std::string again = host.handle(Submit{}.body());
      EXPECT_LE(deliveries(host), 1) << where << " then " << again;
      if (again.find(R"("state":"SUBMITTED")") != std::string::npos) EXPECT_EQ(deliveries(host), 1) << where;
      if (!hit) break;
      ++points;
    }
    EXPECT_GT(points, 8) << "the sweep reached the submit's saves";
  }
}

}  // namespace
}  // namespace tph
