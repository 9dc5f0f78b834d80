#include "state/bridge_status.h"

#include "state/atomic_file.h"
#include "state/ledger_json.h"
#include "state/state_store.h"

namespace tph {

Result<std::string> encode_bridge_status(uint64_t now) {
  nlohmann::ordered_json doc = nlohmann::ordered_json::object();
  doc["schema"] = 1;
  doc["version"] = kHostVersion;
  doc["protocol"] = kProtocolVersion;
  doc["last_contact_ms"] = now;
  return encode_pretty(doc);
}

void write_bridge_status(FileSystem& fs, const std::string& folder, uint64_t now) {
  Result<std::string> bytes = encode_bridge_status(now);
  if (!bytes.ok()) return;  // the status is advice; the request is answered regardless
  (void)write_file_atomically(fs, fs.join(folder, kBridgeStatusFileName), bytes.value());
}

}  // namespace tph
