// The submit payload binding and field checks.
#include <cstdint>
#include <string>

#include "host/message_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text = "{\"payload\":" + std::string(reinterpret_cast<const char*>(data), size) + "}";
  static const tph::JsonShape wrapper{{{"payload", &tph::payload_shape()}}};
  tph::StrictJson parsed = tph::parse_strict_json(text, wrapper);
  if (!parsed.ok) return 0;
  tph::Result<tph::SubmitRequest> request = tph::bind_submit_request(&parsed.value["payload"], parsed);
  if (request.ok()) (void)tph::validate_submit_request(request.value());
  return 0;
}
