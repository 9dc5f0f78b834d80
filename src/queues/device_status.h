#pragma once
// A label printer's own answer to a status query, in its language: what to
// send, when the answer is whole, and what it says in portable reasons.
// Pure functions over the printer's bytes.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tph {

struct DeviceStatus {
  std::vector<std::string> reasons;  // kReason... words, sorted, each once
};

struct StatusDialect {
  std::string_view query;
  size_t max_answer_bytes;
  bool (*whole)(std::string_view answer);
  std::optional<DeviceStatus> (*read)(std::string_view answer);
};

// The dialect of a status language ("zpl", "escpos"); nothing for another.
const StatusDialect* status_dialect(std::string_view language);

// ZPL's host status (~HS): three strings, each between STX and ETX. The
// first says paper out, pause, and RAM or temperature trouble; the second
// head up and ribbon out. Nothing when the answer is not three such strings
// with the fields their flags need.
std::optional<DeviceStatus> read_zpl_host_status(std::string_view answer);
bool zpl_host_status_whole(std::string_view answer);

// ESC/POS real-time status (DLE EOT 1, 2, 3 and 4): one byte for each, each
// with bits 1 and 4 set and bits 0 and 7 clear. Nothing when the four bytes
// are not there or one is not a status byte.
std::optional<DeviceStatus> read_escpos_status(std::string_view answer);
bool escpos_status_whole(std::string_view answer);

}  // namespace tph
