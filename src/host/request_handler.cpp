#include "host/request_handler.h"

#include <limits>
#include <new>

#include "support/error_catalogue.h"
#include "host/message_table.h"
#include "host/response.h"
#include "state/bridge_status.h"
#include "state/state_store.h"
#include "support/identifier.h"
#include "platform/clock.h"
#include "support/protocol_limits.h"

namespace tph {
namespace {

// The most a browser accepts in one message from a native host.
constexpr size_t kMaxReplyBytes = protocol_limits::kMaxReplyBytes;

struct Envelope {
  uint32_t protocol = 0;
  std::string request_id;
  std::string type;
  Json* payload = nullptr;  // null when absent
};

// The envelope's members, and of the payload only what some message declares.
const JsonShape& envelope_shape() {
  static const JsonShape shape{
      {{"protocol", &kScalarShape}, {"request_id", &kScalarShape}, {"type", &kScalarShape},
       {"payload", &payload_shape()}},
      nullptr,
      {&kScalarShape, &kScalarShape, &kScalarShape, &payload_shape()}};
  return shape;
}

HostError not_protocol_json() { return errors::make(errors::kBadRequest, errors::kMsgNotProtocolJson); }

// The envelope's three fields; a missing one, or one of another kind, means
// the message is not protocol JSON.
Result<Envelope> bind_members(const Json* protocol, const Json* request_id, const Json* type) {
  if (!protocol || !request_id || !type) return not_protocol_json();
  auto p = json_unsigned(*protocol, std::numeric_limits<uint32_t>::max());
  if (!p || !request_id->is_string() || !type->is_string()) return not_protocol_json();
  return Envelope{static_cast<uint32_t>(*p), request_id->get<std::string>(), type->get<std::string>(), nullptr};
}

Result<Envelope> parse_envelope(StrictJson& parsed) {
  Json& v = parsed.value;
  if (v.is_object()) {
    if (parsed.has_repeated_member(v)) return not_protocol_json();  // a known member given twice
    auto member = [&v](const char* key) -> Json* {
      auto it = v.find(key);
      return it == v.end() ? nullptr : &*it;
    };
    Result<Envelope> e = bind_members(member("protocol"), member("request_id"), member("type"));
    if (e.ok()) e.value().payload = member("payload");
    return e;
  }
  if (v.is_array() && (v.size() == 3 || v.size() == 4)) {
    Result<Envelope> e = bind_members(&v[0], &v[1], &v[2]);
    if (e.ok() && v.size() == 4) e.value().payload = &v[3];
    return e;
  }
  return not_protocol_json();
}

Result<Json> dispatch(const MessageEntry* message, const Envelope& e, const StrictJson& parsed, HostContext& ctx) {
  if (!message) return errors::make(errors::kUnknownMessage, errors::kMsgUnknownMessage);
  return message->answer(message->payload ? e.payload : nullptr, parsed, ctx);
}

Result<std::string> answer_request(std::string body, HostContext& ctx, std::string& echoed_id) {
  StrictJson parsed = parse_strict_json(body, envelope_shape());
  std::string().swap(body);  // what the handlers need is in the document now; free the text
  if (!parsed.ok) return encode_failure("", not_protocol_json());
  Result<Envelope> bound = parse_envelope(parsed);
  if (!bound.ok()) return encode_failure("", bound.error());
  Envelope* envelope = &bound.value();
  echoed_id = envelope->request_id;

  const std::string& request_id = envelope->request_id;
  if (envelope->protocol != kProtocolVersion) {
    return encode_failure(request_id, errors::protocol_mismatch(kProtocolVersion));
  }
  // The state is held for this message only: between messages another host
  // may print, and this one reads what it left before it answers. The
  // liveness record is the state's too; a message that does not use the
  // ledger lets the lock go once it is written.
  StateHold hold(ctx.print.state, ctx.print.clock);
  if (!hold.status().ok()) return encode_failure(request_id, hold.status().error());
  write_bridge_status(*ctx.print.state.fs, ctx.print.state.folder, now_ms(ctx.print.clock));
  const MessageEntry* message = find_message(envelope->type);
  if (!message || !message->uses_state) hold.release();
  if (!is_valid_identifier(request_id, kRequestIdMaxBytes)) {
    return encode_failure(request_id, errors::unsupported_characters("request_id"));
  }
  Result<Json> result = dispatch(message, *envelope, parsed, ctx);
  if (!result.ok()) return encode_failure(request_id, result.error());
  Result<std::string> reply = encode_success(request_id, result.value());
  // A browser drops the port on a larger message from its host.
  if (reply.ok() && reply.value().size() > kMaxReplyBytes) {
    return encode_failure(request_id, errors::make(errors::kPayloadTooLarge, errors::kMsgReplyTooLarge));
  }
  return reply;
}

}  // namespace

Result<std::string> handle_request(std::string body, HostContext& ctx) {
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
