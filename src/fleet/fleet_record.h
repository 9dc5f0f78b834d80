#pragma once
// One attempt as the fleet's shared ledger keeps it, under
// <prefix>/intents/<intent_id>: the station's record of it (the same fields
// as ledger.json's), which station and user made it, and the claim's token,
// by which the station that claimed it knows it again. Stored as compact
// JSON; a stored value is outside input and is read strictly.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "state/ledger.h"

namespace tph {

inline constexpr size_t kMaxStationBytes = record_limits::kStation;
inline constexpr size_t kMaxAccountBytes = 256;
inline constexpr size_t kClaimTokenChars = 32;
inline constexpr size_t kAttemptNonceChars = 16;
// The most a stored value may hold; a longer one was not written by a host.
inline constexpr size_t kMaxFleetValueBytes = 16 * 1024;

struct FleetRecord {
  JobRecord record;  // record.station names the station
  std::string user;
  std::string token;
  // Names the attempt that claimed it: of the ledger's attempts of one
  // intent (one token), only the one with this nonce made the claim.
  std::string nonce;
};

// A station's name: visible UTF-8, no control characters.
bool valid_station(std::string_view name);

std::string encode_fleet_record(const FleetRecord& fleet);
// The stored value read back, or nothing when it is not one this host
// writes, or names another intent than its key.
std::optional<FleetRecord> parse_fleet_record(std::string_view value, std::string_view intent_id);

}  // namespace tph
