#pragma once
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "state/ledger.h"
#include "support/host_error.h"

namespace tph {

// The two-space indented form of ledger.json, members in declared order,
// records in key order. STATE_UNAVAILABLE when the ledger cannot be encoded
// (text that is not valid UTF-8).
Result<std::string> encode_ledger(const HostLedger& ledger);

// Strict reading: every member required, duplicate member names refused
// (except between records, where the later one wins), other members skipped,
// integers range-checked, and every record as this host writes it (its key
// its intent_id, its state one of ours). STATE_CORRUPT when the bytes are
// not a ledger.
Result<HostLedger> decode_ledger(std::string_view bytes);

// The same, from text that arrives in pieces: `next` fills up to `size`
// bytes at `data` and answers how many it gave, 0 at the end. The text is
// never held whole: memory goes to the records.
using LedgerSource = std::function<size_t(char* data, size_t size)>;
Result<HostLedger> decode_ledger(const LedgerSource& next);

// Writes a generic JSON text in the same layout; shared with the bridge
// status. STATE_UNAVAILABLE for text that is not valid UTF-8.
Result<std::string> encode_pretty(const nlohmann::ordered_json& document);

}  // namespace tph
