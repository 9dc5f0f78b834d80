#include "queues/queue_listing.h"

#include <algorithm>

#include "host/error_catalogue.h"
#include "platform/system_error.h"
#include "queues/queue_state.h"
#include "support/text_conversion.h"

namespace tph {

Result<Json> list_printers(Spooler& spooler) {
  using namespace errors;
  QueueEnumeration queues = spooler.enumerate_queues();
  if (!queues.status.ok) return with_context(kPrintSystemUnavailable, kCtxEnumerate, queues.status.description);

  struct Entry {
    std::string name;
    std::string_view state;
  };
  std::vector<Entry> entries;
  for (const RawQueueName& raw : queues.names) {
    if (raw.is_null) continue;
    if (!raw.terminated) return make(kPrintSystemUnavailable, kMsgInvalidQueueName);
    std::string name = wide_to_utf8(raw.units);
    if (name.empty()) continue;
    std::string_view state = queue_state(spooler.queue_status(utf8_to_wide(name)));
    entries.push_back({std::move(name), state});
  }
  std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });

  Json printers = Json::array();
  for (const Entry& e : entries) {
    Json p = Json::object();
    p["enabled"] = queue_enabled(e.state);
    p["name"] = e.name;
    p["state"] = e.state;
    p["uri"] = "winspool";
    printers.push_back(std::move(p));
  }
  Json result = Json::object();
  result["default_printer"] = wide_to_utf8(spooler.default_queue());
  result["printers"] = std::move(printers);
  return result;
}

}  // namespace tph
