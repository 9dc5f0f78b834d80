#include "host/response.h"

#include "state/bridge_status.h"
#include "support/error_catalogue.h"

namespace tph {
namespace {

std::string compact(const Json& v) { return v.dump(-1, ' ', /*ensure_ascii=*/false, Json::error_handler_t::strict); }

std::string head(std::string_view request_id, bool ok) {
  std::string out = "{\"protocol\":" + std::to_string(kProtocolVersion) + ",\"request_id\":";
  out += compact(Json(std::string(request_id)));
  out += ok ? ",\"ok\":true," : ",\"ok\":false,";
  return out;
}

}  // namespace

// Text no handler produces: the host stops rather than answer with it.
HostError not_utf8() {
  return errors::with_description(errors::kIoError, errors::kPfxWriteMessage, "response is not valid UTF-8");
}

Result<std::string> encode_success(std::string_view request_id, const Json& result) {
  try {
    std::string out = head(request_id, true);
    out += "\"result\":";
    out += compact(result);
    out += '}';
    return out;
  } catch (const Json::exception&) {
    return not_utf8();
  }
}

Result<std::string> encode_event(std::string_view kind, const Json& body) {
  try {
    std::string out = "{\"protocol\":" + std::to_string(kProtocolVersion) + ",\"event\":";
    out += compact(Json(std::string(kind)));
    out += ",";
    out += compact(Json(std::string(kind)));
    out += ":";
    out += compact(body);
    out += '}';
    return out;
  } catch (const Json::exception&) {
    return not_utf8();
  }
}

Result<std::string> encode_failure(std::string_view request_id, const HostError& error) {
  try {
    std::string out = head(request_id, false);
    out += "\"error\":{\"code\":";
    out += compact(Json(error.code_name()));
    if (const std::optional<EarlierAttempt>& e = error.earlier) {
      Json earlier = Json::object();
      earlier["created_at_ms"] = e->created_at_ms;
      earlier["printer"] = e->printer;
      earlier["state"] = e->state;
      if (!e->station.empty()) earlier["station"] = e->station;
      out += ",\"earlier_attempt\":";
      out += compact(earlier);
    }
    out += ",\"message\":";
    out += compact(Json(error.message));
    out += "}}";
    return out;
  } catch (const Json::exception&) {
    return not_utf8();
  }
}

}  // namespace tph
