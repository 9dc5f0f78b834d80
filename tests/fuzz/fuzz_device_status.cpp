// A network label printer's answers to status queries: whatever comes back
// on the socket, each reader answers a status or nothing, and what it
// answers names only portable reasons, sorted, each once.
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

#include "platform/spooler.h"
#include "queues/device_status.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view answer(reinterpret_cast<const char*>(data), size);
  static const std::set<std::string> kPortable{tph::kReasonPaused,   tph::kReasonOffline,  tph::kReasonMediaEmpty,
                                               tph::kReasonMediaJam, tph::kReasonDoorOpen, tph::kReasonHeadOpen,
                                               tph::kReasonRibbonEmpty, tph::kReasonError};
  for (std::string_view language : {"zpl", "escpos"}) {
    const tph::StatusDialect* dialect = tph::status_dialect(language);
    if (!dialect) std::abort();
    // The reader sees at most what the link would have read.
    const std::string_view read = answer.substr(0, dialect->max_answer_bytes);
    (void)dialect->whole(read);
    std::optional<tph::DeviceStatus> status = dialect->read(read);
    if (!status) continue;
    for (size_t i = 0; i < status->reasons.size(); ++i) {
      if (!kPortable.count(status->reasons[i])) std::abort();
      if (i > 0 && !(status->reasons[i - 1] < status->reasons[i])) std::abort();
    }
  }
  return 0;
}
