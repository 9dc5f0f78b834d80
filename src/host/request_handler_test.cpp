#include "host/request_handler.h"

#include <gtest/gtest.h>

#include "fakes/test_host.h"
#include "support/version.h"

namespace tph {
namespace {

using testing::TestHost;

std::string err(const std::string& id, const std::string& code, const std::string& message) {
  return R"({"protocol":1,"request_id":")" + id + R"(","ok":false,"error":{"code":")" + code +
         R"(","message":")" + message + "\"}}";
}

const std::string kHello =
    R"({"protocol":1,"request_id":"r1","ok":true,"result":{"arch":"x86_64","capabilities":["list_printers","submit_png","get_job","durable_idempotency","submit_raw","describe_printer","submit_document","find_jobs","watch"],"platform":"windows","protocol":1,"version":")" + std::string(kHostVersion) + R"("}})";
const std::string kNotJson = err("", "BAD_REQUEST", "The native message is not valid protocol JSON.");
const std::string kUnknown = "UNKNOWN_MESSAGE";
const std::string kUnknownMsg = "The print helper does not support that message type.";

TEST(RequestHandler, EnvelopeChecksInOrder) {
  const std::string id128(128, 'a');
  struct Case {
    std::string body;
    std::string response;
  } cases[] = {
      {R"({"protocol":1,"request_id":"r1","type":"hello"})", kHello},
      {R"({"type":"hello","request_id":"r1","protocol":1,"extra":{"x":[1,2]},"payload":null})", kHello},
      {R"([1,"r1","hello"])", kHello},
      {R"([1,"r1","hello",{"ignored":true}])", kHello},
      {R"([1,"r1"])", kNotJson},
      {R"([1,"r1","hello",null,5])", kNotJson},
      {R"({"protocol":1,"request_id":"r1","type":"hello","type":"hello"})", kNotJson},
      {R"({"protocol":1,"request_id":"r1","type":"hello","x":1,"x":2})", kHello},  // unknown duplicates are skipped
      {R"({"protocol":1.0,"request_id":"r1","type":"hello"})", kNotJson},
      {R"({"protocol":"1","request_id":"r1","type":"hello"})", kNotJson},
      {R"({"protocol":-1,"request_id":"r1","type":"hello"})", kNotJson},
      {R"({"protocol":4294967296,"request_id":"r1","type":"hello"})", kNotJson},
      {R"({"protocol":1,"request_id":null,"type":"hello"})", kNotJson},
      {R"({"protocol":1,"type":"hello"})", kNotJson},
      {R"("hello")", kNotJson},
      {R"(42)", kNotJson},
      {R"({"protocol":1,"request_id":"r1","type":"hello"} x)", kNotJson},
      {"\xef\xbb\xbf{\"protocol\":1,\"request_id\":\"r1\",\"type\":\"hello\"}", kNotJson},
      {R"({"protocol":0,"request_id":"r1","type":"hello"})", err("r1", "PROTOCOL_MISMATCH", "Expected protocol 1.")},
      {R"({"protocol":2,"request_id":"bad id","type":"nope"})", err("bad id", "PROTOCOL_MISMATCH", "Expected protocol 1.")},
      {R"({"protocol":2,"request_id":"q\"\t\u0001\u001f/\u007f","type":"hello"})",
       err("q\\\"\\t\\u0001\\u001f/\x7f", "PROTOCOL_MISMATCH", "Expected protocol 1.")},
      {R"({"protocol":1,"request_id":"","type":"hello"})", err("", "BAD_REQUEST", "request_id contains unsupported characters.")},
      {R"({"protocol":1,"request_id":"a b","type":"nope"})", err("a b", "BAD_REQUEST", "request_id contains unsupported characters.")},
      {R"({"protocol":1,"request_id":")" + id128 + R"(","type":"nope"})", err(id128, kUnknown, kUnknownMsg)},
      {R"({"protocol":1,"request_id":")" + id128 + R"(a","type":"hello"})",
       err(id128 + "a", "BAD_REQUEST", "request_id contains unsupported characters.")},
      {R"({"protocol":1,"request_id":"r1","type":"Hello"})", err("r1", kUnknown, kUnknownMsg)},
      {R"({"protocol":1,"request_id":"r1","type":"submitx"})", err("r1", kUnknown, kUnknownMsg)},
      {R"({"protocol":1,"request_id":"r1","type":""})", err("r1", kUnknown, kUnknownMsg)},
      {R"({"protocol":1,"request_id":"r1","type":"submit"})", err("r1", "BAD_REQUEST", "The print job does not match protocol 1: payload is missing.")},
      {R"({"protocol":1,"request_id":"r1","type":"submit","payload":"x"})",
       err("r1", "BAD_REQUEST", "The print job does not match protocol 1: payload must be an object, or a list of its 7 members in order.")},
      {R"({"protocol":1,"request_id":"r1","type":"get_job"})", err("r1", "BAD_REQUEST", "intent_id contains unsupported characters.")},
      {R"({"protocol":1,"request_id":"r1","type":"get_job","payload":{"intent_id":5}})", err("r1", "BAD_REQUEST", "intent_id contains unsupported characters.")},
      {R"({"protocol":1,"request_id":"r1","type":"get_job","payload":{"intent_id":")" + std::string(161, 'i') + R"("}})",
       err("r1", "BAD_REQUEST", "intent_id contains unsupported characters.")},
      {R"({"protocol":1,"request_id":"r1","type":"get_job","payload":{"intent_id":")" + std::string(160, 'i') + R"("}})",
       err("r1", "JOB_NOT_FOUND", "No print attempt has that identifier.")},
      {R"({"protocol":1,"request_id":"r1","type":"list_printers","payload":[1,2,3]})",
       R"({"protocol":1,"request_id":"r1","ok":true,"result":{"default_printer":"","printers":[]}})"},
  };
  TestHost host;
  host.open();
  for (const auto& c : cases) EXPECT_EQ(host.handle(c.body), c.response) << c.body;
}

TEST(RequestHandler, BridgeStatusFollowsAcceptedEnvelopesOnly) {
  TestHost host;
  host.open();
  const std::string status = std::string(TestHost::kFolder) + "/bridge-status.json";
  host.handle("not json");
  host.handle(R"({"protocol":2,"request_id":"r","type":"hello"})");
  EXPECT_FALSE(host.fs.file(status));
  host.clock.set_ms(1234);
  host.handle(R"({"protocol":1,"request_id":"bad id","type":"nope"})");
  EXPECT_EQ(host.fs.file(status),
            "{\n  \"schema\": 1,\n  \"version\": \"" + std::string(kHostVersion) + "\",\n  \"protocol\": 1,\n  \"last_contact_ms\": 1234\n}");
  host.clock.set_ms(5678);
  host.handle(R"({"protocol":1,"request_id":"r","type":"hello"})");
  EXPECT_NE(host.fs.file(status)->find("5678"), std::string::npos);
  host.handle(R"({"protocol":2,"request_id":"r","type":"hello"})");
  EXPECT_NE(host.fs.file(status)->find("5678"), std::string::npos);
}

TEST(RequestHandler, NoReplyExceedsWhatABrowserAccepts) {
  TestHost host;
  host.open();
  for (int i = 0; i < 12000; ++i) host.spooler.add_queue("Queue-" + std::to_string(i) + std::string(80, 'q'), "idle");
  EXPECT_EQ(host.handle(R"({"protocol":1,"request_id":"r1","type":"list_printers"})"),
            err("r1", "PAYLOAD_TOO_LARGE", "The reply would exceed the 1 MiB a browser accepts from the print helper."));
}

TEST(RequestHandler, BridgeStatusFailureDoesNotChangeTheAnswer) {
  TestHost host;
  host.open();
  host.fs.fail(testing::MemoryFileSystem::Op::kReplace, "bridge-status");
  EXPECT_EQ(host.handle(R"({"protocol":1,"request_id":"r1","type":"hello"})"), kHello);
}

}  // namespace
}  // namespace tph
