#include "submit/raw_request.h"

#include <gtest/gtest.h>

#include "fakes/test_data.h"
#include "fakes/test_host.h"
#include "submit/fingerprint.h"
#include "submit/label_payload.h"
#include "submit/raw_printer.h"
#include "submit/submit_request.h"

namespace tph {
namespace {

const std::string kUuid = "urn:uuid:00000000-0000-8000-8000-000000000000";

using testing::RawLog;
using testing::RecordingRawPrintJob;
using testing::TestHost;

const std::string kZpl = "^XA^FO50,50^ADN,36,20^FDShip to: Tavelin^FS^XZ";

TEST(RawChecks, OrderAndMessages) {
  auto request = [](std::string intent, std::string language, std::string base64, uint16_t copies = 1) {
    return RawSubmitRequest{std::move(intent), "Label_Raw", "Title", copies, std::move(language), std::move(base64)};
  };
  const std::string big(kMaxBase64Chars + 1, '!');
  const std::string over = testing::encode_base64(std::string(kMaxRawBytes + 1, 'z'));
  const struct {
    RawSubmitRequest r;
    const char* code;
    const char* message;
  } cases[] = {
      {request("bad id", "zp:l", "!"), "BAD_REQUEST", "intent_id contains unsupported characters."},
      {request("ok", "zpl", "QQ==", 11), "BAD_REQUEST", "Copies must be between 1 and 10."},
      {request("ok", "zp:l", "!"), "BAD_REQUEST", "language contains unsupported characters."},
      {request("ok", "", "QQ=="), "BAD_REQUEST", "language contains unsupported characters."},
      {request("ok", "zpl", big), "PAYLOAD_TOO_LARGE", "The raw label exceeds the helper limit."},
      {request("ok", "zpl", "QQ"), "BAD_REQUEST", "The raw label is not valid base64."},
      {request("ok", "zpl", ""), "BAD_REQUEST", "The raw label is empty."},
      {request("ok", "zpl", over), "PAYLOAD_TOO_LARGE", "The raw label exceeds the helper limit."},
  };
  for (const auto& c : cases) {
    Result<std::string> r = decode_raw_request(c.r);
    ASSERT_FALSE(r.ok()) << c.message;
    EXPECT_STREQ(r.error().code_name(), c.code);
    EXPECT_EQ(r.error().message, c.message);
  }
  Result<std::string> ok = decode_raw_request(request("ok", "zpl", testing::encode_base64(kZpl)));
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(ok.value(), kZpl);
}

TEST(RawFingerprint, NeverThatOfAPngLabel) {
  const std::string raw = output_fingerprint(kRawFingerprintDomain, kZpl, "Q", std::string("zpl"), 0, 1).value();
  EXPECT_NE(raw, output_fingerprint(kPngFingerprintDomain, kZpl, "Q", std::string("zpl"), 0, 1).value());
  EXPECT_NE(raw, output_fingerprint(kRawFingerprintDomain, kZpl, "Q", std::string("epl"), 0, 1).value());
  EXPECT_NE(raw, output_fingerprint(kRawFingerprintDomain, kZpl, "Q", std::string("zpl"), 0, 2).value());
}

std::string raw_message(const std::string& intent, const std::string& bytes, int copies = 1) {
  return R"({"protocol":1,"request_id":"r","type":"submit_raw","payload":{"intent_id":")" + intent +
         R"(","printer":"Label_Raw","title":"Raw","copies":)" + std::to_string(copies) +
         R"(,"language":"zpl","base64":")" + testing::encode_base64(bytes) + R"("}})";
}

TEST(RawAttempt, SharesTheLedgerAndTheRules) {
  TestHost host;
  host.open();
  EXPECT_NE(host.handle(raw_message("raw-1", kZpl, 3)).find(R"("ok":true)"), std::string::npos);
  EXPECT_EQ(host.raw_log->bytes, kZpl + kZpl + kZpl) << "copies are the bytes again, in one job";
  EXPECT_EQ(host.raw_log->sequence(), "open start write write write finish close");
  const std::string repeat = host.handle(raw_message("raw-1", kZpl, 3));
  EXPECT_NE(repeat.find(R"("duplicate":true)"), std::string::npos) << repeat;
  EXPECT_EQ(host.raw_log->jobs, 1) << "a repeat sends nothing";
  EXPECT_NE(host.handle(raw_message("raw-1", kZpl + " ", 3)).find("INTENT_CONFLICT"), std::string::npos);
  // A PNG label under a raw attempt's id is other output.
  const std::string png = testing::read_data("label_40x20.png");
  const std::string submit = R"({"protocol":1,"request_id":"r","type":"submit","payload":{"intent_id":"raw-1",)"
                             R"("printer":"Label_Raw","title":"t","copies":3,"dpi":300,"payload":{"format":"png",)"
                             R"("base64":")" + testing::encode_base64(png) + R"(","width_px":40,"height_px":20}}})";
  EXPECT_NE(host.handle(submit).find("INTENT_CONFLICT"), std::string::npos);
  EXPECT_EQ(host.store->ledger.jobs.at("raw-1").state, JobState::kSubmitted);
  EXPECT_EQ(host.store->ledger.jobs.at("raw-1").os_job_id, "77");
}

TEST(RawPrinter, EveryFailurePoint) {
  const struct {
    std::string name;
    std::map<std::string, int> fail_on;
    std::string sequence;
    const char* code;
    std::string context;
  } cases[] = {
      {"success", {}, "open start write write finish close", nullptr, ""},
      {"queue", {{"open", 1}}, "open", "PRINTER_UNAVAILABLE", "CUPS could not open the selected print queue"},
      {"rejected", {{"start", 1}}, "open start close", "SUBMISSION_REJECTED", "CUPS rejected the print job"},
      {"second copy", {{"write", 2}}, "open start write write abort close", "UNKNOWN_OUTCOME",
       "CUPS could not send the label to the print queue"},
      {"finish", {{"finish", 1}}, "open start write write finish abort close", "UNKNOWN_OUTCOME",
       "CUPS may have queued the label but did not acknowledge the completed document"},
  };
  for (const auto& c : cases) {
    auto log = std::make_shared<RawLog>();
    log->fail_on = c.fail_on;
    PrintOutcome r = print_raw(std::make_unique<RecordingRawPrintJob>(log), RawJob{"Q", "T", kUuid, 2, kZpl}, "CUPS");
    EXPECT_EQ(log->sequence(), c.sequence) << c.name;
    // A job left unknown still names the job the print system made.
    if (c.code && std::string_view(c.code) == "UNKNOWN_OUTCOME") {
      EXPECT_EQ(r.job_id(), 77u) << c.name;
    }
    if (!c.code) {
      ASSERT_TRUE(r.ok());
      EXPECT_EQ(r.job_id(), 77u);
      continue;
    }
    ASSERT_FALSE(r.ok()) << c.name;
    EXPECT_STREQ(r.error().code_name(), c.code) << c.name;
    EXPECT_EQ(r.error().message, c.context + ": " + describe_system_error(1804)) << c.name;
  }
  // And what each failure leaves in the ledger.
  for (const auto& [step, state] : std::map<std::string, JobState>{
           {"open", JobState::kFailed}, {"start", JobState::kFailed}, {"write", JobState::kUnknown}, {"finish", JobState::kUnknown}}) {
    TestHost host;
    host.open();
    host.raw_log->fail_on = {{step, 1}};
    host.handle(raw_message("raw-2", kZpl));
    EXPECT_EQ(host.store->ledger.jobs.at("raw-2").state, state) << step;
  }
}

}  // namespace
}  // namespace tph
