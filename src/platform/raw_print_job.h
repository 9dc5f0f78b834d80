#pragma once
// One raw job on one queue: the bytes go to the printer as they are, without
// any driver or filter between. Open it on a queue, start it with a title
// (which gives the job id), write the bytes (as often as there are copies),
// finish. Destroying a job that was started and not finished aborts it;
// destroying an open one closes the queue. Each step answers with one status
// carrying the system's error code and description.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/os_status.h"

namespace tph {

class RawPrintJob {
 public:
  virtual ~RawPrintJob() = default;
  virtual OsStatus open(const std::string& queue) = 0;
  // Starts the job: the print system's positive job number.
  // The attempt's job uuid, as for a document.
  virtual void set_job_uuid(const std::string& uuid) { (void)uuid; }
  virtual OsResult<uint32_t> start(const std::string& title) = 0;
  // Writes all of the bytes, however many calls the system needs.
  virtual OsStatus write(const uint8_t* data, size_t size) = 0;
  virtual OsStatus finish() = 0;
};

}  // namespace tph
