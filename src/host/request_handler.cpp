#include "host/request_handler.h"

#include <limits>
#include <new>

#include "support/error_catalogue.h"
#include "host/hello.h"
#include "host/response.h"
#include "queues/job_query.h"
#include "queues/printer_description.h"
#include "queues/queue_listing.h"
#include "state/bridge_status.h"
#include "submit/submit_handler.h"
#include "support/identifier.h"
#include "platform/clock.h"

namespace tph {
namespace {

// The most a browser accepts in one message from a native host.
constexpr size_t kMaxReplyBytes = 1u << 20;

struct Envelope {
  uint32_t protocol = 0;
  std::string request_id;
  std::string type;
  Json* payload = nullptr;  // null when absent
};

// The envelope's members, and of the payload only what a handler binds.
const JsonShape& envelope_shape() {
  static const JsonShape shape{
      {{"protocol", &kScalarShape}, {"request_id", &kScalarShape}, {"type", &kScalarShape},
       {"payload", &print_payload_shape()}},
      nullptr,
      {&kScalarShape, &kScalarShape, &kScalarShape, &print_payload_shape()}};
  return shape;
}

bool bind_members(const Json* protocol, const Json* request_id, const Json* type, Envelope& e) {
  if (!protocol || !request_id || !type) return false;
  auto p = json_unsigned(*protocol, std::numeric_limits<uint32_t>::max());
  if (!p || !request_id->is_string() || !type->is_string()) return false;
  e.protocol = static_cast<uint32_t>(*p);
  e.request_id = request_id->get<std::string>();
  e.type = type->get<std::string>();
  return true;
}

std::optional<Envelope> parse_envelope(StrictJson& parsed) {
  Json& v = parsed.value;
  Envelope e;
  if (v.is_object()) {
    if (parsed.has_repeated_member(v)) return std::nullopt;  // a known member given twice
    auto member = [&v](const char* key) -> Json* {
      auto it = v.find(key);
      return it == v.end() ? nullptr : &*it;
    };
    if (!bind_members(member("protocol"), member("request_id"), member("type"), e)) return std::nullopt;
    e.payload = member("payload");
    return e;
  }
  if (v.is_array()) {
    if (v.size() != 3 && v.size() != 4) return std::nullopt;
    if (!bind_members(&v[0], &v[1], &v[2], e)) return std::nullopt;
    if (v.size() == 4) e.payload = &v[3];
    return e;
  }
  return std::nullopt;
}

// A member of the payload object; null when it is absent or the payload is
// not an object.
const Json* payload_member(const Envelope& e, const char* key) {
  if (!e.payload || !e.payload->is_object()) return nullptr;
  auto it = e.payload->find(key);
  return it == e.payload->end() ? nullptr : &*it;
}

// The same, refusing (null) a payload that names any of its members twice.
const Json* unique_payload_member(const Envelope& e, const StrictJson& parsed, const char* key) {
  if (e.payload && parsed.has_repeated_member(*e.payload)) return nullptr;
  return payload_member(e, key);
}

// A print message: its payload bound to the request, then handled; a
// payload of another shape is refused.
template <typename Request>
Result<Json> print_message(const Envelope& e, const StrictJson& parsed, PrintContext& print,
                           std::optional<Request> (*bind)(Json&, const StrictJson&),
                           Result<Json> (*handle)(Request, PrintContext&)) {
  Json null;
  std::optional<Request> request = bind(e.payload ? *e.payload : null, parsed);
  if (!request) return errors::make(errors::kBadRequest, errors::kMsgJobNotProtocol);
  return handle(std::move(*request), print);
}

Result<Json> dispatch(const Envelope& e, const StrictJson& parsed, HostContext& ctx) {
  if (e.type == "hello") return hello_reply(ctx.print.info);
  if (e.type == "list_printers") return list_printers(ctx.spooler, ctx.print.info);
  if (e.type == "submit") return print_message(e, parsed, ctx.print, bind_submit_request, handle_submit);
  if (e.type == "submit_document") {
    return print_message(e, parsed, ctx.print, bind_document_request, handle_submit_document);
  }
  if (e.type == "describe_printer") {
    const Json* printer = unique_payload_member(e, parsed, "printer");
    if (!printer || !printer->is_string() || !is_valid_text_field(printer->get_ref<const std::string&>(), 256)) {
      return errors::bad_text_field("printer");
    }
    return describe_printer(printer->get<std::string>(), ctx.print.new_document(), ctx.spooler, ctx.print.info);
  }
  if (e.type == "submit_raw") return print_message(e, parsed, ctx.print, bind_raw_request, handle_submit_raw);
  if (e.type == "find_jobs") {
    const Json* prefix = unique_payload_member(e, parsed, "intent_prefix");
    const Json* limit = unique_payload_member(e, parsed, "limit");
    if (!prefix || !prefix->is_string() || !is_valid_identifier(prefix->get_ref<const std::string&>(), kIntentIdMaxBytes)) {
      return errors::unsupported_characters("intent_prefix");
    }
    size_t count = 20;
    if (limit && !limit->is_null()) {
      std::optional<uint64_t> n = json_unsigned(*limit, kMaxFoundJobs);
      if (!n || *n == 0) return errors::make(errors::kBadRequest, errors::kMsgFindLimit);
      count = static_cast<size_t>(*n);
    }
    return find_jobs(prefix->get_ref<const std::string&>(), count, ctx.print.state);
  }
  if (e.type == "get_job") {
    const Json* id = payload_member(e, "intent_id");
    if (!id || !id->is_string() || !is_valid_identifier(id->get_ref<const std::string&>(), kIntentIdMaxBytes)) {
      return errors::unsupported_characters("intent_id");
    }
    return get_job(id->get<std::string>(), ctx.print.state, ctx.spooler, ctx.print.clock);
  }
  return errors::make(errors::kUnknownMessage, errors::kMsgUnknownMessage);
}

std::optional<std::string> answer_request(std::string body, HostContext& ctx, std::string& echoed_id) {
  StrictJson parsed = parse_strict_json(body, envelope_shape());
  std::string().swap(body);  // what the handlers need is in the document now; free the text
  std::optional<Envelope> envelope;
  if (parsed.ok) envelope = parse_envelope(parsed);
  if (!envelope) return encode_failure("", errors::make(errors::kBadRequest, errors::kMsgNotProtocolJson));
  echoed_id = envelope->request_id;

  const std::string& request_id = envelope->request_id;
  if (envelope->protocol != kProtocolVersion) {
    return encode_failure(request_id, errors::protocol_mismatch(kProtocolVersion));
  }
  write_bridge_status(*ctx.print.state.fs, ctx.print.state.folder, now_ms(ctx.print.clock));
  if (!is_valid_identifier(request_id, kRequestIdMaxBytes)) {
    return encode_failure(request_id, errors::unsupported_characters("request_id"));
  }
  Result<Json> result = dispatch(*envelope, parsed, ctx);
  if (!result.ok()) return encode_failure(request_id, result.error());
  std::optional<std::string> reply = encode_success(request_id, result.value());
  // A browser drops the port on a larger message from its host.
  if (reply && reply->size() > kMaxReplyBytes) {
    return encode_failure(request_id, errors::make(errors::kPayloadTooLarge, errors::kMsgReplyTooLarge));
  }
  return reply;
}

}  // namespace

std::optional<std::string> handle_request(std::string body, HostContext& ctx) {
  // Memory that cannot be had is an answer like any other failure, and the
  // host goes on serving. The parse costs memory in proportion to the body
  // and a submit's one large allocation (the device raster) is handled where
  // it is made, so this is the last line, not the plan. Nothing reaches the
  // print system before the attempt is saved, so a failure here never hides
  // an unrecorded print.
  std::string request_id;
  try {
    return answer_request(std::move(body), ctx, request_id);
  } catch (const std::bad_alloc&) {
    return encode_failure(request_id, errors::make(errors::kPayloadTooLarge, errors::kMsgOutOfMemory));
  }
}

}  // namespace tph
