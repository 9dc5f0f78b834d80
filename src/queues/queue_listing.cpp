#include "queues/queue_listing.h"

#include <algorithm>

#include "support/error_catalogue.h"

namespace tph {

Result<PrinterList> list_printers(Spooler& spooler, const PlatformInfo& info, PrinterVoice* voice) {
  using namespace errors;
  QueueListing listing = spooler.listing();
  QueueList& list = listing.queues;
  if (!list.ok()) {
    if (list.error().failed_as(OsErrorKind::kInvalidName)) {
      return make(kPrintSystemUnavailable, named(kMsgInvalidQueueName, info.print_system));
    }
    return with_context(kPrintSystemUnavailable, named(kCtxEnumerate, info.print_system), list.error().description);
  }
  std::vector<QueueEntry>& queues = list.value();
  if (voice) voice->hear_all(queues);
  // Byte order, shorter first on a common prefix; equal names keep the print
  // system's order.
  std::stable_sort(queues.begin(), queues.end(),
                   [](const QueueEntry& a, const QueueEntry& b) { return a.name < b.name; });
  // No default is written as "", as it always was.
  return PrinterList{std::move(queues), listing.default_queue.value_or("")};
}

}  // namespace tph
