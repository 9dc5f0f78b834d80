#include "platform/win32/winspool_mapping.h"

#include "platform/queue_marks.h"
#include "support/text_conversion.h"

namespace tph::winspool {

std::string_view queue_state(std::optional<uint32_t> status) {
  if (!status) return "unavailable";
  const uint32_t s = *status;
  if (s & kTroubleMask) {
    if (s & kPrinterStatusPaused) return "paused";
    if (s & kPrinterStatusOffline) return "offline";
    return "error";
  }
  return (s & kBusyMask) ? "printing" : "idle";
}

std::string_view queue_state(const QueueFacts& facts) {
  const std::string_view by_status = queue_state(std::optional<uint32_t>(facts.status));
  if ((facts.attributes & kPrinterAttributeWorkOffline) && (by_status == "idle" || by_status == "printing")) {
    return "offline";
  }
  return by_status;
}

std::vector<std::string> portable_reasons(uint32_t status, uint32_t attributes) {
  constexpr uint32_t kPaused = 0x1, kPaperJam = 0x8, kPaperOut = 0x10, kOffline = 0x80, kNotAvailable = 0x1000,
                     kDoorOpen = 0x400000;
  std::vector<std::string> out;
  if (status & kPaused) out.push_back(kReasonPaused);
  if ((status & (kOffline | kNotAvailable)) || (attributes & kPrinterAttributeWorkOffline)) {
    out.push_back(kReasonOffline);
  }
  if (status & kPaperOut) out.push_back(kReasonMediaEmpty);
  if (status & kPaperJam) out.push_back(kReasonMediaJam);
  if (status & kDoorOpen) out.push_back(kReasonDoorOpen);
  if (status & kTroubleMask & ~(kPaused | kPaperJam | kPaperOut | kOffline | kNotAvailable | kDoorOpen)) {
    out.push_back(kReasonError);
  }
  settle_reasons(out);
  return out;
}

std::optional<DeviceAddress> tcp_port_device(const TcpPortSettings& port) {
  if (port.protocol != 1 || port.port_number == 0 || port.port_number > 65535) return std::nullopt;
  std::string host = wide_to_utf8(!port.host_name.empty() ? port.host_name : port.ip_address);
  if (host.empty() || host.find_first_of(" @/") != std::string::npos) return std::nullopt;
  return DeviceAddress{std::move(host), static_cast<uint16_t>(port.port_number)};
}

bool is_raw_queue(const QueueFacts& facts) {
  return (facts.attributes & kPrinterAttributeRawOnly) != 0 || facts.driver == u"Generic / Text Only";
}

QueueList queue_list(const std::vector<RawQueueName>& names,
                     const std::function<std::optional<QueueFacts>(const std::u16string&)>& facts_of) {
  std::vector<QueueEntry> queues;
  for (const RawQueueName& raw : names) {
    if (raw.is_null) continue;
    if (!raw.terminated) {
      return OsStatus::Fail(0, "a queue name without its terminator", OsErrorKind::kInvalidName);
    }
    std::string name = wide_to_utf8(raw.units);
    if (name.empty()) continue;
    const std::optional<QueueFacts> facts = facts_of(utf8_to_wide(name));
    QueueEntry entry;
    entry.name = std::move(name);
    entry.state = facts ? queue_state(*facts) : queue_state(std::optional<uint32_t>());
    entry.accepting = facts.has_value();
    entry.raw = facts && is_raw_queue(*facts);
    if (facts) {
      entry.reasons = portable_reasons(facts->status, facts->attributes);
      entry.status_language = marked_status_language(wide_to_utf8(facts->comment));
      if (!entry.status_language.empty()) entry.device = facts->device;
      if (!entry.device) entry.status_language.clear();
    }
    queues.push_back(std::move(entry));
  }
  return queues;
}

JobObservation job_observation(const JobQuery& q, uint64_t record_created_ms) {
  if (!q.opened) return JobObservation::kQueryFailed;
  // A second's grace for the spooler's own rounding of the time.
  if (q.found && q.submitted_ms != 0 && q.submitted_ms + 1000 < record_created_ms) return JobObservation::kNoSuchJob;
  if (q.found) {
    if (q.status & kJobStatusDeleted) return JobObservation::kDeleted;
    if (q.status & (kJobStatusPrinted | kJobStatusComplete)) return JobObservation::kCompleted;
    return JobObservation::kActive;
  }
  return q.last_error == kErrorInvalidParameter ? JobObservation::kNoSuchJob : JobObservation::kQueryFailed;
}

}  // namespace tph::winspool
