#include "platform/win32/winspool_mapping.h"

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
    entry.state = queue_state(facts ? std::optional<uint32_t>(facts->status) : std::nullopt);
    entry.accepting = facts.has_value();
    entry.raw = facts && is_raw_queue(*facts);
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
