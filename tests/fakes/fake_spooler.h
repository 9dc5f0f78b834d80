#pragma once
// A spooler whose queues, statuses and jobs the test sets up, with switches
// for the failures the real one can produce.

#include <map>

#include "platform/spooler.h"
#include "platform/system_error.h"

namespace tph::testing {

class FakeSpooler final : public Spooler {
 public:
  QueueEnumeration enumeration;
  std::map<std::u16string, uint32_t> statuses;  // by NUL-terminated wide name; missing = cannot open
  std::u16string default_name;
  std::map<uint32_t, JobQuery> jobs;  // by job id
  JobQuery missing_job{true, false, 0, 87};
  bool queue_opens = true;
  int job_queries = 0;

  void add_queue(const std::u16string& name, uint32_t status) {
    RawQueueName raw;
    raw.units = name;
    enumeration.names.push_back(raw);
    std::u16string key = name;
    key += u'\0';
    statuses[key] = status;
  }

  QueueEnumeration enumerate_queues() override { return enumeration; }
  std::optional<uint32_t> queue_status(const std::u16string& name) override {
    auto it = statuses.find(name);
    if (it == statuses.end()) return std::nullopt;
    return it->second;
  }
  std::u16string default_queue() override { return default_name; }
  JobQuery query_job(const std::u16string&, uint32_t job_id) override {
    ++job_queries;
    if (!queue_opens) return {};
    auto it = jobs.find(job_id);
    return it == jobs.end() ? missing_job : it->second;
  }
};

}  // namespace tph::testing
