#include <cups/cups.h>

#include <string>

#include "platform/cups/cups_connection.h"
#include "platform/cups/cups_status.h"
#include "platform/raw_print_job.h"

namespace tph {
namespace {

// A CUPS job whose one document is in the raw format, so that no filter
// touches the bytes: cupsCreateJob and cupsStartDocument, the bytes with
// cupsWriteRequestData, cupsFinishDocument. A started job that does not
// finish is dropped with its connection and cancelled.
class CupsRawPrintJob final : public RawPrintJob {
 public:
  ~CupsRawPrintJob() override {
    if (http_) httpClose(http_);
    if (started_ && !finished_) cupsCancelJob2(CUPS_HTTP_DEFAULT, name_.c_str(), job_id_, 0);
  }

  OsStatus open(const std::string& queue) override {
    const size_t slash = queue.find('/');
    name_ = queue.substr(0, slash);
    const std::string instance = slash == std::string::npos ? "" : queue.substr(slash + 1);
    cups_dest_t* dest = cupsGetNamedDest(CUPS_HTTP_DEFAULT, name_.c_str(), instance.empty() ? nullptr : instance.c_str());
    if (!dest) return cups::last_failure();
    cupsFreeDests(1, dest);
    return OsStatus::Ok();
  }

  OsStatus start(const std::string& title, uint32_t& job_id) override {
    OsStatus failure;
    http_ = cups::connect_to_scheduler(failure);
    if (!http_) return failure;
    const int id = cupsCreateJob(http_, name_.c_str(), title.c_str(), 0, nullptr);
    if (id <= 0) return cups::last_failure();
    if (cupsStartDocument(http_, name_.c_str(), id, title.c_str(), CUPS_FORMAT_RAW, 1) != HTTP_STATUS_CONTINUE) {
      OsStatus failed = cups::last_failure();
      // Nothing was sent: take the empty job back, so it is refused for certain.
      httpClose(http_);
      http_ = nullptr;
      cupsCancelJob2(CUPS_HTTP_DEFAULT, name_.c_str(), id, 0);
      return failed;
    }
    started_ = true;
    job_id_ = id;
    job_id = static_cast<uint32_t>(id);
    return OsStatus::Ok();
  }

  OsStatus write(const uint8_t* data, size_t size) override {
    // cupsWriteRequestData takes any length and writes it all or fails.
    while (size > 0) {
      const size_t chunk = size > (1u << 20) ? (1u << 20) : size;
      if (cupsWriteRequestData(http_, reinterpret_cast<const char*>(data), chunk) != HTTP_STATUS_CONTINUE) {
        return cups::last_failure();
      }
      data += chunk;
      size -= chunk;
    }
    return OsStatus::Ok();
  }

  OsStatus finish() override {
    if (cupsFinishDocument(http_, name_.c_str()) > IPP_STATUS_OK_EVENTS_COMPLETE) return cups::last_failure();
    finished_ = true;
    return OsStatus::Ok();
  }

 private:
  std::string name_;
  http_t* http_ = nullptr;
  int job_id_ = 0;
  bool started_ = false;
  bool finished_ = false;
};

}  // namespace

std::unique_ptr<RawPrintJob> new_raw_print_job() { return std::make_unique<CupsRawPrintJob>(); }

}  // namespace tph
