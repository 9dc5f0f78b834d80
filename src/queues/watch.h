#pragma once
// What one port watches: printers and print attempts, and what the host last
// told it of each, so that it hears of a change once and of nothing else.

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/spooler.h"
#include "queues/printer_voice.h"
#include "state/ledger.h"
#include "state/state_store.h"
#include "support/host_error.h"
#include "support/protocol_limits.h"

namespace tph {

struct WatchEvents {
  std::vector<JobRecord> jobs;          // attempts whose state changed, as get_job answers them
  std::vector<QueueEntry> printers;     // queues whose state, acceptance or reasons changed
  bool empty() const { return jobs.empty() && printers.empty(); }
};

class Watch {
 public:
  static constexpr size_t kMaxPrinters = protocol_limits::kMaxWatchedPrinters;
  static constexpr size_t kMaxIntents = protocol_limits::kMaxWatchedIntents;

  // Watches these too. Each one named is reported at the next look, whatever
  // its state, also one already watched; an attempt nobody made yet is
  // reported once it is. BAD_REQUEST when the watch would then
  // hold more than its limits, and nothing is added.
  Status add(const std::vector<std::string>& printers, const std::vector<std::string>& intents);
  // Stops watching these; both empty: everything.
  void remove(const std::vector<std::string>& printers, const std::vector<std::string>& intents);
  bool empty() const { return printers_.empty() && intents_.empty(); }
  // Something was added that no look has reported yet.
  bool has_new() const;
  std::vector<std::string> printers() const;
  std::vector<std::string> intents() const;

  // One look at everything watched. Attempts are looked at as get_job looks
  // (an attempt in flight is asked of the print system and what it says is
  // recorded), holding the state for the look; printers as describe_printer
  // sees them, with their own word where they give it. A state that cannot
  // be held reports no attempt (the store says why).
  WatchEvents look(StateStore& store, Spooler& spooler, Clock& clock, PrinterVoice& voice);

 private:
  struct JobSeen {
    std::optional<JobState> state;  // nothing: not reported yet
    bool archive_checked = false;   // an attempt missing from the ledger was looked for in the archive
  };
  void look_at_attempts(StateStore& store, Spooler& spooler, Clock& clock, WatchEvents& events);

  std::map<std::string, std::optional<std::string>> printers_;  // the last reported signature
  std::map<std::string, JobSeen> intents_;
};

}  // namespace tph
