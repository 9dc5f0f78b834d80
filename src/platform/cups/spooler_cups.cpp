#include <cups/cups.h>

#include <memory>

#include "platform/cups/cups_mapping.h"
#include "platform/cups/cups_status.h"
#include "platform/spooler.h"

namespace tph {
namespace {

// Destinations as cupsGetDests2 returns them, freed on every path.
class Destinations {
 public:
  Destinations() { count_ = cupsGetDests2(CUPS_HTTP_DEFAULT, &dests_); }
  ~Destinations() { cupsFreeDests(count_, dests_); }
  Destinations(const Destinations&) = delete;
  Destinations& operator=(const Destinations&) = delete;
  const cups_dest_t* begin() const { return dests_; }
  const cups_dest_t* end() const { return dests_ + count_; }
  int size() const { return count_; }

 private:
  cups_dest_t* dests_ = nullptr;
  int count_ = 0;
};

// "name" or "name/instance", as CUPS names an instance.
std::string name_of(const cups_dest_t& d) {
  std::string name = d.name ? d.name : "";
  if (d.instance && *d.instance) name += std::string("/") + d.instance;
  return name;
}

struct IppDeleter {
  void operator()(ipp_t* p) const { ippDelete(p); }
};

class CupsSpooler final : public Spooler {
 public:
  QueueList list_queues() override {
    QueueList list;
    Destinations dests;
    // No destinations is an answer; the scheduler not answering is not.
    if (dests.size() == 0 && cupsLastError() > IPP_STATUS_OK_EVENTS_COMPLETE &&
        cupsLastError() != IPP_STATUS_ERROR_NOT_FOUND) {
      list.status = cups::last_failure();
      return list;
    }
    for (const cups_dest_t& d : dests) {
      std::string name = name_of(d);
      if (name.empty()) continue;
      const char* state = cupsGetOption("printer-state", d.num_options, d.options);
      const char* reasons = cupsGetOption("printer-state-reasons", d.num_options, d.options);
      list.queues.push_back({std::move(name), cups::queue_state(state ? atoi(state) : 0, reasons ? reasons : "")});
    }
    return list;
  }

  std::string default_queue() override {
    Destinations dests;
    for (const cups_dest_t& d : dests) {
      if (d.is_default) return name_of(d);
    }
    return "";
  }

  JobObservation observe_job(const std::string&, uint32_t job_id) override {
    // Job ids are unique across the whole scheduler, so the job is asked
    // for by its own URI.
    std::unique_ptr<ipp_t, IppDeleter> request(ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES));
    char uri[HTTP_MAX_URI];
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", ippPort(), "/jobs/%u",
                     job_id);
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_URI, "job-uri", nullptr, uri);
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr, "job-state");
    std::unique_ptr<ipp_t, IppDeleter> response(cupsDoRequest(CUPS_HTTP_DEFAULT, request.release(), "/"));
    if (cupsLastError() == IPP_STATUS_ERROR_NOT_FOUND) return JobObservation::kNoSuchJob;
    if (!response || cupsLastError() > IPP_STATUS_OK_EVENTS_COMPLETE) return JobObservation::kQueryFailed;
    ipp_attribute_t* state = ippFindAttribute(response.get(), "job-state", IPP_TAG_ENUM);
    if (!state) return JobObservation::kQueryFailed;
    return cups::job_observation(ippGetInteger(state, 0));
  }
};

}  // namespace

Spooler& system_spooler() {
  static CupsSpooler spooler;
  return spooler;
}

}  // namespace tph
