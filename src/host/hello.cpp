#include "host/hello.h"

#include "state/bridge_status.h"

namespace tph {

Json hello_reply(const PlatformInfo& info) {
  Json r = Json::object();
  r["arch"] = info.arch;
  r["capabilities"] = info.capabilities;
  r["platform"] = info.platform;
  r["protocol"] = kProtocolVersion;
  r["version"] = kHostVersion;
  return r;
}

}  // namespace tph
