// The ledger reader with start-up recovery, in memory. What it accepts must
// survive a write and a second read unchanged.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "state/ledger_json.h"
#include "state/ledger_recovery.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tph::Result<tph::HostLedger> ledger =
      tph::decode_ledger(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!ledger.ok()) return 0;
  tph::recover_and_prune(ledger.value(), 1'700'000'000'000ULL);
  tph::Result<std::string> text = tph::encode_ledger(ledger.value());
  if (!text.ok()) return 0;  // text that is not UTF-8 cannot come from a parsed document
  tph::Result<tph::HostLedger> again = tph::decode_ledger(text.value());
  if (!again.ok() || !(again.value() == ledger.value())) std::abort();
  return 0;
}
