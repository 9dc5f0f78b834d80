// The submit payload binding and field checks.
#include <cstdint>
#include <string>

#include "submit/submit_request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text = "{\"payload\":" + std::string(reinterpret_cast<const char*>(data), size) + "}";
  static const tph::JsonShape wrapper{{{"payload", &tph::print_payload_shape()}}};
  tph::StrictJson parsed = tph::parse_strict_json(text, wrapper);
  if (!parsed.ok) return 0;
  std::optional<tph::SubmitRequest> request = tph::bind_submit_request(parsed.value["payload"], parsed);
  if (request) (void)tph::validate_submit_request(*request);
  return 0;
}
