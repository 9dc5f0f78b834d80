#pragma once
// The print spooler as the queue listing and the job observation need it.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/os_status.h"

namespace tph {

// One queue name as the spooler's enumeration returned it.
struct RawQueueName {
  bool is_null = false;     // the record had no name pointer
  bool terminated = true;   // a NUL was found within the first 32,768 code units
  std::u16string units;     // the code units before the NUL (or all 32,768)
};

struct QueueEnumeration {
  OsStatus status;
  std::vector<RawQueueName> names;  // in the spooler's order
};

struct JobQuery {
  bool opened = false;          // the queue could be opened
  bool found = false;           // the job information was read
  uint32_t status = 0;          // the job's status bits, when found
  uint32_t last_error = 0;      // the error code of the failed query, when not found
};

class Spooler {
 public:
  virtual ~Spooler() = default;
  // Every local and connected queue, in enumeration order.
  virtual QueueEnumeration enumerate_queues() = 0;
  // The status word of one queue (NUL-terminated UTF-16 name), or nothing
  // when the queue cannot be opened or its status cannot be read.
  virtual std::optional<uint32_t> queue_status(const std::u16string& name) = 0;
  // The user's default queue, the code units before its NUL; empty on failure.
  virtual std::u16string default_queue() = 0;
  // The status of one job of a queue (NUL-terminated UTF-16 name).
  virtual JobQuery query_job(const std::u16string& queue, uint32_t job_id) = 0;
};

Spooler& system_spooler();

}  // namespace tph
