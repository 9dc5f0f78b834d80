#include "host/hello.h"

#include "host/message_table.h"
#include "state/bridge_status.h"

namespace tph {

Json hello_reply(const PlatformInfo& info) {
  Json r = Json::object();
  r["arch"] = info.arch;
  // What this host answers, in the order the messages were added.
  Json capabilities = Json::array();
  for (const MessageEntry& m : message_table()) {
    for (std::string_view c : m.capabilities) capabilities.push_back(c);
  }
  r["capabilities"] = std::move(capabilities);
  r["platform"] = info.platform;
  r["protocol"] = kProtocolVersion;
  r["version"] = kHostVersion;
  return r;
}

}  // namespace tph
