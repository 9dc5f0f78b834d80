#include "host/hello.h"

#include "state/bridge_status.h"

namespace tph {

Json hello_reply(const PlatformInfo& info) {
  Json r = Json::object();
  r["arch"] = info.arch;
  // What this host answers, in the order the messages were added.
  r["capabilities"] = Json::array({"list_printers", "submit_png", "get_job", "durable_idempotency", "submit_raw",
                                   "describe_printer", "submit_document", "find_jobs"});
  r["platform"] = info.platform;
  r["protocol"] = kProtocolVersion;
  r["version"] = kHostVersion;
  return r;
}

}  // namespace tph
