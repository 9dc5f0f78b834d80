#pragma once
// A spooler whose queues, default and jobs the test sets up, with switches
// for the failures the real ones can produce.

#include <map>
#include <optional>
#include <vector>

#include "platform/spooler.h"

namespace tph::testing {

class FakeSpooler final : public Spooler {
 public:
  std::vector<QueueEntry> queues;
  std::optional<OsError> listing_fails;  // set: list_queues answers this
  std::optional<std::string> default_name;
  std::map<uint32_t, JobObservation> jobs;  // by job id; missing: no such job

  QueueEntry& add_queue(const std::string& name, std::string_view state, bool accepting = true, bool raw = false) {
    QueueEntry& e = queues.emplace_back();
    e.name = name;
    e.state = state;
    e.accepting = accepting;
    e.raw = raw;
    return e;
  }

  QueueList list_queues() override {
    if (listing_fails) return *listing_fails;
    return queues;
  }
  std::optional<std::string> default_queue() override { return default_name; }
  std::string last_uuid;  // the uuid the last observation asked for
  JobObservation observe_job(const std::string&, uint32_t job_id, uint64_t, const std::string& uuid) override {
    last_uuid = uuid;
    auto it = jobs.find(job_id);
    return it == jobs.end() ? JobObservation::kNoSuchJob : it->second;
  }
};

}  // namespace tph::testing
