#include "queues/device_status.h"

#include "platform/queue_marks.h"
#include "platform/spooler.h"

namespace tph {
namespace {

constexpr char kStx = 0x02;
constexpr char kEtx = 0x03;

// The comma-separated fields of the strings between STX and ETX, in order.
std::vector<std::vector<std::string_view>> framed_strings(std::string_view answer) {
  std::vector<std::vector<std::string_view>> strings;
  size_t at = 0;
  for (;;) {
    const size_t start = answer.find(kStx, at);
    if (start == std::string_view::npos) break;
    const size_t end = answer.find(kEtx, start + 1);
    if (end == std::string_view::npos) break;
    std::string_view body = answer.substr(start + 1, end - start - 1);
    std::vector<std::string_view> fields;
    for (;;) {
      const size_t comma = body.find(',');
      fields.push_back(body.substr(0, comma));
      if (comma == std::string_view::npos) break;
      body.remove_prefix(comma + 1);
    }
    strings.push_back(std::move(fields));
    at = end + 1;
  }
  return strings;
}

// A one-digit flag: its value, or nothing when the field is not one digit.
std::optional<bool> flag(std::string_view field) {
  while (!field.empty() && field.front() == ' ') field.remove_prefix(1);
  while (!field.empty() && field.back() == ' ') field.remove_suffix(1);
  if (field.size() != 1 || (field[0] != '0' && field[0] != '1')) return std::nullopt;
  return field[0] == '1';
}

bool is_status_byte(unsigned char b) { return (b & 0x93) == 0x12; }

const StatusDialect kZpl{"~HS", 4096, zpl_host_status_whole, read_zpl_host_status};
// DLE EOT 1 (printer), 2 (offline cause), 3 (error cause), 4 (paper sensor).
const StatusDialect kEscPos{std::string_view("\x10\x04\x01\x10\x04\x02\x10\x04\x03\x10\x04\x04", 12), 4,
                            escpos_status_whole, read_escpos_status};

}  // namespace

const StatusDialect* status_dialect(std::string_view language) {
  if (language == "zpl") return &kZpl;
  if (language == "escpos") return &kEscPos;
  return nullptr;
}

bool zpl_host_status_whole(std::string_view answer) {
  size_t ends = 0;
  for (char c : answer) ends += c == kEtx;
  return ends >= 3;
}

std::optional<DeviceStatus> read_zpl_host_status(std::string_view answer) {
  const auto strings = framed_strings(answer);
  if (strings.size() < 3 || strings[0].size() < 12 || strings[1].size() < 4) return std::nullopt;
  const std::vector<std::string_view>& first = strings[0];
  const std::vector<std::string_view>& second = strings[1];
  const std::optional<bool> paper_out = flag(first[1]), paused = flag(first[2]), ram_corrupt = flag(first[9]),
                            too_cold = flag(first[10]), too_hot = flag(first[11]), head_up = flag(second[2]),
                            ribbon_out = flag(second[3]);
  if (!paper_out || !paused || !ram_corrupt || !too_cold || !too_hot || !head_up || !ribbon_out) return std::nullopt;
  DeviceStatus status;
  if (*paper_out) status.reasons.push_back(kReasonMediaEmpty);
  if (*paused) status.reasons.push_back(kReasonPaused);
  if (*head_up) status.reasons.push_back(kReasonHeadOpen);
  if (*ribbon_out) status.reasons.push_back(kReasonRibbonEmpty);
  if (*ram_corrupt || *too_cold || *too_hot) status.reasons.push_back(kReasonError);
  settle_reasons(status.reasons);
  return status;
}

bool escpos_status_whole(std::string_view answer) { return answer.size() >= 4; }

std::optional<DeviceStatus> read_escpos_status(std::string_view answer) {
  if (answer.size() != 4) return std::nullopt;
  for (char c : answer) {
    if (!is_status_byte(static_cast<unsigned char>(c))) return std::nullopt;
  }
  const auto printer = static_cast<unsigned char>(answer[0]), offline = static_cast<unsigned char>(answer[1]),
             error = static_cast<unsigned char>(answer[2]), paper = static_cast<unsigned char>(answer[3]);
  DeviceStatus status;
  const bool cover_open = offline & 0x04;
  const bool paper_end = (offline & 0x20) || (paper & 0x60) == 0x60;
  if (cover_open) status.reasons.push_back(kReasonDoorOpen);
  if (paper_end) status.reasons.push_back(kReasonMediaEmpty);
  if ((offline & 0x40) || (error & (0x04 | 0x08 | 0x20 | 0x40))) status.reasons.push_back(kReasonError);
  // Offline with a cause named above is that cause; offline alone is offline.
  if ((printer & 0x08) && status.reasons.empty()) status.reasons.push_back(kReasonOffline);
  settle_reasons(status.reasons);
  return status;
}

}  // namespace tph
