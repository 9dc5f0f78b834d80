#include "host/message_table.h"

#include <gtest/gtest.h>

#include <set>

#include "support/error_catalogue.h"

namespace tph {
namespace {

const std::string kNot = "The print job does not match protocol 1: ";

// A valid object-form submit payload with one member replaced (or removed
// when the replacement is empty).
std::string submit_with(const std::string& key, const std::string& json) {
  std::vector<std::pair<std::string, std::string>> members = {
      {"intent_id", R"("intent-1")"}, {"printer", R"("Label_PDF")"}, {"title", R"("Label")"},
      {"copies", "1"},                {"media", "null"},             {"dpi", "300"},
      {"payload", R"({"format":"png","base64":"","width_px":16,"height_px":16})"}};
  std::string s = "{";
  for (const auto& [k, v] : members) {
    std::string value = k == key ? json : v;
    if (value.empty()) continue;
    if (s.size() > 1) s += ',';
    s += "\"" + k + "\":" + value;
  }
  return s + "}";
}

// The binding's error message for a payload, or "" when it binds.
template <typename Request>
std::string binding_of(const std::string& payload, Result<Request> (*bind)(Json*, const StrictJson&),
                       Request* out = nullptr) {
  static const JsonShape wrapper{{{"payload", &payload_shape()}}};
  StrictJson parsed = parse_strict_json(R"({"payload":)" + payload + "}", wrapper);
  if (!parsed.ok) return "not JSON";
  Result<Request> r = bind(&parsed.value["payload"], parsed);
  if (!r.ok()) return r.error().message;
  if (out) *out = std::move(r.value());
  return "";
}

TEST(MessageBinding, SubmitFormsBind) {
  SubmitRequest r;
  ASSERT_EQ(binding_of(submit_with("copies", ""), bind_submit_request, &r), "");
  EXPECT_EQ(r.copies, 1);
  EXPECT_FALSE(r.media);
  ASSERT_EQ(binding_of(R"(["i","p","t",3,"m",300,["png","",20,30]])", bind_submit_request, &r), "");
  EXPECT_EQ(r.copies, 3);
  EXPECT_EQ(r.media, "m");
  EXPECT_EQ(r.payload.height_px, 30u);
  for (const std::string& ok : {std::string(R"(["i","p","t",3,null,300,{"format":"png","base64":"","width_px":20,"height_px":30}])"),
                                submit_with("extra", ""), submit_with("media", "")}) {
    EXPECT_EQ(binding_of(ok, bind_submit_request), "") << ok;
  }
}

TEST(MessageBinding, MismatchesNameTheMemberAndTheRule) {
  const std::string u16 = "must be a whole number from 0 to 65535.";
  const std::string u32 = "must be a whole number from 0 to 4294967295.";
  const std::string seven = "payload must be an object, or a list of its 7 members in order.";
  const std::string four = "must be an object, or a list of its 4 members in order.";
  const std::pair<std::string, std::string> cases[] = {
      {"null", seven},
      {"true", seven},
      {R"("x")", seven},
      {submit_with("copies", "null"), "payload.copies " + u16},
      {submit_with("copies", "65536"), "payload.copies " + u16},
      {submit_with("copies", "-1"), "payload.copies " + u16},
      {submit_with("copies", "2.0"), "payload.copies " + u16},
      {submit_with("dpi", "4294967296"), "payload.dpi " + u32},
      {submit_with("dpi", ""), "payload.dpi is missing."},
      {submit_with("intent_id", ""), "payload.intent_id is missing."},
      {submit_with("intent_id", "7"), "payload.intent_id must be a string."},
      {submit_with("media", "5"), "payload.media must be a string."},
      {submit_with("payload", R"({"format":"png","base64":"","width_px":16})"), "payload.payload.height_px is missing."},
      {submit_with("payload", R"(["png","",16])"), "payload.payload " + four},
      {submit_with("payload", "null"), "payload.payload " + four},
      {submit_with("payload", ""), "payload.payload is missing."},
      {submit_with("payload", "7"), "payload.payload " + four},
      {submit_with("payload", R"({"format":"png","base64":"","width_px":16,"height_px":"16"})"),
       "payload.payload.height_px " + u32},
      {R"(["i","p","t",3,null,300])", seven},
      {R"(["i","p","t",3,null,300,["png","",20,30],1])", seven},
      {R"({"intent_id":"a","intent_id":"b","printer":"p","title":"t","dpi":300,"payload":["png","",16,16]})",
       "payload names intent_id twice."},
      {submit_with("payload", R"({"format":"png","format":"png","base64":"","width_px":16,"height_px":16})"),
       "payload.payload names format twice."},
  };
  for (const auto& [payload, message] : cases) {
    EXPECT_EQ(binding_of(payload, bind_submit_request), kNot + message) << payload;
  }
}

TEST(MessageBinding, DocumentPagesAreNamedByPosition) {
  const std::string head = R"({"intent_id":"i","printer":"p","title":"t","dpi":300,"pages":)";
  const std::pair<std::string, std::string> cases[] = {
      {head + R"([["png","",16,16]]})", ""},
      {head + R"([["png","",16,16],{"format":"png"}]})", kNot + "payload.pages[1].base64 is missing."},
      {head + R"("x"})", kNot + "payload.pages must be a list."},
      {R"(["i","p","t",1,null,300,[]])", kNot + "payload must be an object."},
  };
  for (const auto& [payload, message] : cases) {
    EXPECT_EQ(binding_of(payload, bind_document_request), message) << payload;
  }
}

TEST(MessageBinding, RawFormsAndMismatches) {
  RawSubmitRequest r;
  ASSERT_EQ(binding_of(R"({"intent_id":"i","printer":"p","title":"t","language":"zpl","base64":"QQ==","x":{"y":1,"y":2}})",
                       bind_raw_request, &r), "");
  EXPECT_EQ(r.copies, 1);
  EXPECT_EQ(r.language, "zpl");
  ASSERT_EQ(binding_of(R"(["i","p","t",3,"epl","QQ=="])", bind_raw_request, &r), "");
  EXPECT_EQ(r.copies, 3);
  const std::string six = "payload must be an object, or a list of its 6 members in order.";
  const std::pair<std::string, std::string> cases[] = {
      {R"({"intent_id":"i","printer":"p","title":"t","base64":"QQ=="})", "payload.language is missing."},
      {R"({"intent_id":"i","printer":"p","title":"t","language":"zpl"})", "payload.base64 is missing."},
      {R"({"intent_id":"i","printer":"p","title":"t","copies":null,"language":"z","base64":""})",
       "payload.copies must be a whole number from 0 to 65535."},
      {R"({"intent_id":"i","printer":"p","title":"t","language":5,"base64":""})", "payload.language must be a string."},
      {R"({"intent_id":"i","intent_id":"j","printer":"p","title":"t","language":"z","base64":""})",
       "payload names intent_id twice."},
      {R"(["i","p","t",1,"zpl"])", six},
      {R"(["i","p","t",1,"zpl","QQ==",1])", six},
      {"null", six},
      {R"("x")", six},
  };
  for (const auto& [payload, message] : cases) EXPECT_EQ(binding_of(payload, bind_raw_request), kNot + message) << payload;
}

// Every message's payload is kept by the one shape the envelope is parsed
// with, and a name two messages share is one kind of value in both: the
// parser could not keep it for one and drop it for the other.
TEST(MessageTable, OneShapeKeepsEveryDeclaredMember) {
  std::set<std::string_view> types;
  std::map<std::string_view, const JsonShape*> kept;
  for (const JsonShape::Member& m : payload_shape().members) kept[m.key] = m.shape;
  for (const MessageEntry& m : message_table()) {
    EXPECT_TRUE(types.insert(m.type).second) << m.type;
    EXPECT_EQ(find_message(m.type), &m);
    if (!m.payload) continue;
    for (const JsonShape::Member& member : m.payload->shape().members) {
      ASSERT_TRUE(kept.count(member.key)) << m.type << "." << member.key;
      EXPECT_EQ(kept[member.key], member.shape) << m.type << "." << member.key;
    }
    for (size_t i = 0; i < m.payload->shape().elements.size(); ++i) {
      const JsonShape* at = m.payload->shape().elements[i];
      if (at != &kScalarShape) { EXPECT_EQ(payload_shape().elements.at(i), at) << m.type << "[" << i << "]"; }
    }
  }
  EXPECT_EQ(find_message("Hello"), nullptr);
}

// The messages that quote a limit quote the one the build was made with.
TEST(MessageTable, MessagesQuoteTheLimits) {
  namespace L = protocol_limits;
  auto n = [](uint64_t v) { return std::to_string(v); };
  const std::pair<std::string_view, std::vector<std::string>> cases[] = {
      {errors::kMsgCopies, {n(L::kCopiesMin), n(L::kCopiesMax)}},
      {errors::kMsgDpi, {n(L::kDpiMin), n(L::kDpiMax)}},
      {errors::kMsgPageCount, {n(L::kMaxDocumentPages)}},
      {errors::kMsgFindLimit, {n(L::kFindJobsMaxLimit)}},
      {errors::kMsgWatchTooLarge, {n(L::kMaxWatchedPrinters), n(L::kMaxWatchedIntents)}},
  };
  for (const auto& [message, numbers] : cases) {
    for (const std::string& number : numbers) {
      EXPECT_NE(message.find(" " + number), std::string_view::npos) << message << " lacks " << number;
    }
  }
}

}  // namespace
}  // namespace tph
