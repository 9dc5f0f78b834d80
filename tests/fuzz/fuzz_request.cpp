// Handle one request body: envelope parsing, checks and every handler, over
// fakes. Any input must produce exactly one well-formed response.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fakes/test_host.h"
#include "support/strict_json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static tph::testing::TestHost* host = [] {
    auto* h = new tph::testing::TestHost();
    h->open();
    return h;
  }();
  std::string body(reinterpret_cast<const char*>(data), size);
  tph::Result<std::string> response = tph::handle_request(body, *host->context);
  if (!response.ok() || !tph::parse_strict_json(response.value(), tph::kScalarShape).ok) std::abort();
  if (host->store->ledger.jobs.size() > 1000) host->store->ledger.jobs.clear();
  return 0;
}
