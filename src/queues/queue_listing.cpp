#include "queues/queue_listing.h"

#include <algorithm>

#include "support/error_catalogue.h"

namespace tph {

Result<Json> list_printers(Spooler& spooler, const PlatformInfo& info) {
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
  // Byte order, shorter first on a common prefix; equal names keep the print
  // system's order.
  std::stable_sort(queues.begin(), queues.end(),
                   [](const QueueEntry& a, const QueueEntry& b) { return a.name < b.name; });
  Json printers = Json::array();
  for (const QueueEntry& e : queues) {
    Json p = Json::object();
    p["enabled"] = queue_enabled(e.state);
    p["name"] = e.name;
    p["state"] = e.state;
    p["uri"] = info.queue_uri;
    printers.push_back(std::move(p));
  }
  Json result = Json::object();
  // No default is written as "", as it always was.
  result["default_printer"] = listing.default_queue.value_or("");
  result["printers"] = std::move(printers);
  return result;
}

}  // namespace tph
