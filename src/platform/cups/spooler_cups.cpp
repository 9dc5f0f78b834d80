#include <cups/cups.h>

#include <cstring>
#include <cstdio>
#include <memory>
#include <optional>

#include "platform/cups/cups_print_system.h"
#include "platform/cups/cups_mapping.h"
#include "platform/queue_marks.h"
#include "platform/cups/cups_scheduler.h"
#include "platform/spooler.h"
#include "support/text_conversion.h"

namespace tph {
namespace {

// Destinations as cupsGetDests2 returns them, freed on every path.
class Destinations {
 public:
  explicit Destinations(cups::Scheduler& scheduler) { count_ = cupsGetDests2(scheduler.http(), &dests_); }
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
  return repaired_utf8(name);
}


// Whether the queue's PPD lets the socket backend look the printer's supplies
// up: it does unless the PPD turns it off. A PPD that cannot be fetched says
// nothing either way: no notice is better than a wrong one.
bool ppd_allows_supplies_lookup(cups::Scheduler& scheduler, const std::string& queue) {
  std::string resource = "/printers/";
  for (unsigned char c : queue) {
    static const char kHex[] = "0123456789ABCDEF";
    const bool plain = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' ||
                       c == '_' || c == '.';
    if (plain) {
      resource += static_cast<char>(c);
    } else {
      resource += {'%', kHex[c >> 4], kHex[c & 15]};
    }
  }
  resource += ".ppd";
  std::unique_ptr<FILE, int (*)(FILE*)> ppd(std::tmpfile(), &std::fclose);
  if (!ppd || cupsGetFd(scheduler.http(), resource.c_str(), fileno(ppd.get())) != HTTP_STATUS_OK) return false;
  std::rewind(ppd.get());
  std::optional<bool> allowed;
  std::string line;
  for (int c; (c = std::fgetc(ppd.get())) != EOF;) {
    if (c != '\n') {
      line += static_cast<char>(c);
      continue;
    }
    if (std::optional<bool> setting = cups::ppd_supplies_setting(line)) allowed = setting;
    line.clear();
  }
  if (std::optional<bool> setting = cups::ppd_supplies_setting(line)) allowed = setting;
  return allowed.value_or(true);
}

// The notice for a queue whose every job first waits on that look-up, with
// the device URI that turns it off.
QueueNotice supplies_lookup_notice(const std::string& queue, std::string uri) {
  const size_t authority = uri.find("://") + 3;
  if (uri.find('?') != std::string::npos) {
    uri += "&snmp=false";
  } else {
    uri += uri.find('/', authority) == std::string::npos ? "/?snmp=false" : "?snmp=false";
  }
  return {"SNMP_LOOKUP_DELAY",
          "CUPS asks the printer behind " + queue + " for its supplies over SNMP before each job, which delays every "
          "label by seconds when the printer does not answer SNMP. Turn the look-up off with: lpadmin -p " +
              cups::split_queue_name(queue).name + " -v '" + repaired_utf8(uri) + "'"};
}

// The status language and socket of a queue whose description marks one.
void mark_device(QueueEntry& entry, const char* info, const char* device_uri) {
  if (!info || !device_uri) return;
  entry.status_language = marked_status_language(info);
  if (!entry.status_language.empty()) entry.device = socket_device(device_uri);
  if (!entry.device) entry.status_language.clear();
}

class CupsSpooler final : public Spooler {
 public:
  QueueList list_queues() override { return listing().queues; }

  std::optional<std::string> default_queue() override { return listing().default_queue; }

  // The destination list names the default among the queues: one request.
  QueueListing listing() override {
    cups::Scheduler scheduler;
    if (OsStatus s = scheduler.connect(); !s.ok()) return {s.error(), std::nullopt};
    Destinations dests(scheduler);
    // No destinations is an answer; the scheduler not answering is not.
    if (dests.size() == 0 && (scheduler.timed_out() || (cupsLastError() > IPP_STATUS_OK_EVENTS_COMPLETE &&
                                                        cupsLastError() != IPP_STATUS_ERROR_NOT_FOUND))) {
      return {scheduler.failure("Listing the queues"), std::nullopt};
    }
    std::vector<QueueEntry> queues;
    std::optional<std::string> default_queue;
    for (const cups_dest_t& d : dests) {
      std::string name = name_of(d);
      if (d.is_default && !default_queue) default_queue = name;
      if (name.empty()) continue;
      const char* state = cupsGetOption("printer-state", d.num_options, d.options);
      const char* reasons = cupsGetOption("printer-state-reasons", d.num_options, d.options);
      const char* accepting = cupsGetOption("printer-is-accepting-jobs", d.num_options, d.options);
      const char* model = cupsGetOption("printer-make-and-model", d.num_options, d.options);
      const bool takes_jobs = !accepting || std::strcmp(accepting, "false") != 0;
      QueueEntry entry;
      entry.name = std::move(name);
      entry.state = cups::queue_state(state ? atoi(state) : 0, reasons ? reasons : "", takes_jobs);
      entry.accepting = takes_jobs;
      entry.raw = model && cups::is_raw_make_and_model(model);
      entry.reasons = cups::portable_reasons(state ? atoi(state) : 0, reasons ? reasons : "", takes_jobs);
      mark_device(entry, cupsGetOption("printer-info", d.num_options, d.options),
                  cupsGetOption("device-uri", d.num_options, d.options));
      queues.push_back(std::move(entry));
    }
    return {std::move(queues), std::move(default_queue)};
  }

  std::optional<QueueEntry> queue_entry(const std::string& queue) override { return entry_of(queue, true); }
  // Without the PPD the notices need.
  std::optional<QueueEntry> queue_status(const std::string& queue) override { return entry_of(queue, false); }

 private:
  // One Get-Printer-Attributes request, not the whole listing; with
  // `notices`, the queue's PPD too where they depend on it.
  std::optional<QueueEntry> entry_of(const std::string& queue, bool notices) {
    cups::Scheduler scheduler;
    if (!scheduler.connect().ok()) return std::nullopt;
    OsResult<cups::IppMessage> attributes = cups::queue_attributes(
        scheduler, queue,
        {"printer-state", "printer-state-reasons", "printer-is-accepting-jobs", "printer-make-and-model", "device-uri",
         "printer-info"});
    if (!attributes.ok()) return std::nullopt;
    ipp_t* a = attributes.value().get();
    ipp_attribute_t* state = ippFindAttribute(a, "printer-state", IPP_TAG_ENUM);
    ipp_attribute_t* accepting = ippFindAttribute(a, "printer-is-accepting-jobs", IPP_TAG_BOOLEAN);
    std::string reasons;
    if (ipp_attribute_t* r = ippFindAttribute(a, "printer-state-reasons", IPP_TAG_KEYWORD)) {
      for (int i = 0; i < ippGetCount(r); ++i) {
        if (const char* reason = ippGetString(r, i, nullptr)) reasons += (i ? "," : "") + std::string(reason);
      }
    }
    const bool takes_jobs = !accepting || ippGetBoolean(accepting, 0);
    QueueEntry entry;
    entry.name = queue;
    entry.state = cups::queue_state(state ? ippGetInteger(state, 0) : 0, reasons, takes_jobs);
    entry.reasons = cups::portable_reasons(state ? ippGetInteger(state, 0) : 0, reasons, takes_jobs);
    entry.accepting = takes_jobs;
    ipp_attribute_t* model = ippFindAttribute(a, "printer-make-and-model", IPP_TAG_ZERO);
    const char* model_text = model ? ippGetString(model, 0, nullptr) : nullptr;
    entry.raw = model_text && cups::is_raw_make_and_model(model_text);
    ipp_attribute_t* uri = ippFindAttribute(a, "device-uri", IPP_TAG_ZERO);
    const char* uri_text = uri ? ippGetString(uri, 0, nullptr) : nullptr;
    ipp_attribute_t* info = ippFindAttribute(a, "printer-info", IPP_TAG_ZERO);
    mark_device(entry, info ? ippGetString(info, 0, nullptr) : nullptr, uri_text);
    // Without a driver there is no PPD, and the backend looks nothing up.
    if (notices && uri_text && !entry.raw && cups::uri_allows_supplies_lookup(uri_text) &&
        ppd_allows_supplies_lookup(scheduler, cups::split_queue_name(queue).name)) {
      entry.notices.push_back(supplies_lookup_notice(queue, uri_text));
    }
    return entry;
  }

 public:


  JobObservation observe_job(const std::string& queue, uint32_t job_id, uint64_t record_created_ms,
                             const std::string& job_uuid) override {
    cups::Scheduler scheduler;
    if (!scheduler.connect().ok()) return JobObservation::kQueryFailed;
    cups::IppMessage request(ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES));
    char uri[HTTP_MAX_URI];
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", ippPort(), "/jobs/%u",
                     job_id);
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_URI, "job-uri", nullptr, uri);
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    static const char* const kWanted[] = {"job-state", "job-printer-uri", "time-at-creation", "job-uuid"};
    ippAddStrings(request.get(), IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 4, nullptr, kWanted);
    cups::IppMessage response(cupsDoRequest(scheduler.http(), request.release(), "/"));
    if (scheduler.timed_out()) return JobObservation::kQueryFailed;
    if (cupsLastError() == IPP_STATUS_ERROR_NOT_FOUND) return JobObservation::kNoSuchJob;
    if (!response || cupsLastError() > IPP_STATUS_OK_EVENTS_COMPLETE) return JobObservation::kQueryFailed;
    ipp_attribute_t* state = ippFindAttribute(response.get(), "job-state", IPP_TAG_ENUM);
    ipp_attribute_t* printer = ippFindAttribute(response.get(), "job-printer-uri", IPP_TAG_URI);
    ipp_attribute_t* created = ippFindAttribute(response.get(), "time-at-creation", IPP_TAG_INTEGER);
    if (!state || !printer || !created) return JobObservation::kQueryFailed;
    // Job ids are the scheduler's, not the queue's: only the job this
    // attempt created counts; another with the same id is "no such job".
    // The job's printer URI names the queue percent-encoded.
    const char* printer_uri = ippGetString(printer, 0, nullptr);
    char scheme[32], userpass[256], host[256], resource[1024];
    int port = 0;
    if (!printer_uri || httpSeparateURI(HTTP_URI_CODING_ALL, printer_uri, scheme, sizeof scheme, userpass,
                                        sizeof userpass, host, sizeof host, &port, resource,
                                        sizeof resource) < HTTP_URI_STATUS_OK) {
      return JobObservation::kQueryFailed;
    }
    ipp_attribute_t* uuid = ippFindAttribute(response.get(), "job-uuid", IPP_TAG_URI);
    const char* uuid_text = uuid ? ippGetString(uuid, 0, nullptr) : nullptr;
    if (!uuid_text || job_uuid != uuid_text ||
        !cups::is_attempt_job(resource, cups::split_queue_name(queue).name, ippGetInteger(created, 0),
                              record_created_ms)) {
      return JobObservation::kNoSuchJob;
    }
    return cups::job_observation(ippGetInteger(state, 0));
  }
};

}  // namespace

std::unique_ptr<Spooler> new_cups_spooler() { return std::make_unique<CupsSpooler>(); }

}  // namespace tph
