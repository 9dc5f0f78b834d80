#include <cups/cups.h>

#include <string>

#include "platform/cups/cups_print_system.h"
#include "platform/cups/cups_scheduler.h"
#include "platform/raw_print_job.h"

namespace tph {
namespace {

// A CUPS job whose one document is in the raw format, so that no filter
// touches the bytes.
class CupsRawPrintJob final : public RawPrintJob {
 public:
  OsStatus open(const std::string& queue) override {
    cups::Scheduler scheduler;
    if (OsStatus s = scheduler.connect(); !s.ok()) return s.error();
    OsResult<cups::IppMessage> known = cups::queue_attributes(scheduler, queue, {"printer-name"});
    if (!known.ok()) return known.take_error();
    queue_ = queue;
    return OsStatus::Ok();
  }

  void set_job_uuid(const std::string& uuid) override { job_.set_uuid(uuid); }

  OsResult<uint32_t> start(const std::string& title) override {
    return job_.start(queue_, title, CUPS_FORMAT_RAW);
  }

  OsStatus write(const uint8_t* data, size_t size) override { return job_.write(data, size); }

  OsStatus finish() override { return job_.finish(); }

 private:
  std::string queue_;
  cups::Job job_;
};

}  // namespace

std::unique_ptr<RawPrintJob> new_cups_raw_print_job() { return std::make_unique<CupsRawPrintJob>(); }

}  // namespace tph
