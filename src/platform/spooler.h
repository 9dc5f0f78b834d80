#pragma once
// The print system's queues and jobs, as the queue listing and the job
// observation need them: UTF-8 names and portable results. What the OS
// reports (status bits, IPP states) is mapped inside each implementation.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/os_status.h"

namespace tph {

// Something about a queue's set-up that its user should know, with the
// remedy: a stable code and a sentence naming the queue.
struct QueueNotice {
  std::string code;
  std::string message;
};

// Where a printer that takes raw jobs over a socket listens.
struct DeviceAddress {
  std::string host;
  uint16_t port = 9100;
  friend bool operator==(const DeviceAddress&, const DeviceAddress&) = default;
};

// One of "idle", "printing", "paused", "offline", "error", "unavailable".
struct QueueEntry {
  std::string name;
  std::string_view state;
  // Whether a job sent now is taken (perhaps to wait: a paused queue takes
  // jobs).
  bool accepting = true;
  // The queue passes the bytes of a job to the printer as they are: no
  // driver turns a document into the printer's language, and nothing on
  // this side knows the printer's resolution or label.
  bool raw = false;
  // What the print system's own set-up costs or lacks; filled by
  // queue_entry() only (a listing leaves it empty).
  std::vector<QueueNotice> notices;
  // Why the queue is in its state, in portable words (kReason...), sorted,
  // each once; empty when nothing is wrong.
  std::vector<std::string> reasons;
  // The language the queue's printer answers a status query in ("zpl",
  // "escpos"), as the queue's description marks it, and where the printer
  // listens: set only for a marked queue whose device is a socket.
  std::string status_language;
  std::optional<DeviceAddress> device;
};

// The portable reasons, as events and replies name them.
inline constexpr const char* kReasonPaused = "paused";
inline constexpr const char* kReasonOffline = "offline";
inline constexpr const char* kReasonMediaEmpty = "media-empty";
inline constexpr const char* kReasonMediaJam = "media-jam";
inline constexpr const char* kReasonDoorOpen = "door-open";
inline constexpr const char* kReasonHeadOpen = "head-open";
inline constexpr const char* kReasonRibbonEmpty = "ribbon-empty";
inline constexpr const char* kReasonError = "error";

// The queues in the print system's order (unnamed ones left out), or why
// not: the print system could not be asked, or it returned a name that cannot
// be a queue's (kInvalidName; Windows: a name without its terminator).
using QueueList = OsResult<std::vector<QueueEntry>>;

// The queues and the user's default, as a listing shows them together.
struct QueueListing {
  QueueList queues;
  std::optional<std::string> default_queue;
};

// What the print system says about one job.
enum class JobObservation {
  kActive,       // queued, held, printing or stopped: still in the system
  kCompleted,    // printed
  kDeleted,      // deleted, cancelled or aborted before it was known to print
  kNoSuchJob,    // the system does not know the job (any more)
  kQueryFailed,  // the queue could not be opened or the query failed otherwise
};

class Spooler {
 public:
  virtual ~Spooler() = default;
  // Every queue the user can see, each with its coarse state.
  virtual QueueList list_queues() = 0;
  // One queue's entry, as the listing would give it; nothing when the queue
  // is not there or cannot be asked.
  virtual std::optional<QueueEntry> queue_entry(const std::string& queue) {
    QueueList list = list_queues();
    if (!list.ok()) return std::nullopt;
    for (QueueEntry& e : list.value()) {
      if (e.name == queue) return std::move(e);
    }
    return std::nullopt;
  }
  // The entry without its notices, which may cost the print system more to
  // find out: what a watch looks at twice a second.
  virtual std::optional<QueueEntry> queue_status(const std::string& queue) { return queue_entry(queue); }
  // The user's default queue; nothing when there is none or it cannot be read.
  virtual std::optional<std::string> default_queue() = 0;
  // Both; a print system that names the default among its queues answers
  // them with one request.
  virtual QueueListing listing() { return {list_queues(), default_queue()}; }
  // One job of a queue, as an attempt recorded at `record_created_ms`
  // created it with the uuid `job_uuid`. Where job ids can be handed out
  // again (CUPS, after it lost its spool), a job with that id on another
  // queue, created before the record, or with another uuid is "no such job".
  virtual JobObservation observe_job(const std::string& queue, uint32_t job_id, uint64_t record_created_ms,
                                     const std::string& job_uuid) = 0;
};

}  // namespace tph
