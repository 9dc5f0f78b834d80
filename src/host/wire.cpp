#include "host/wire.h"

#include "state/attempt_state.h"
#include "support/version.h"

namespace tph {
namespace {

Json dpi_value(const std::optional<int>& dpi) { return dpi ? Json(*dpi) : Json(nullptr); }

}  // namespace

Json write_hello(const PlatformInfo& info, std::span<const std::string_view> capabilities) {
  Json r = Json::object();
  r["arch"] = info.arch;
  Json listed = Json::array();
  for (std::string_view c : capabilities) listed.push_back(c);
  r["capabilities"] = std::move(listed);
  r["platform"] = info.platform;
  r["protocol"] = kProtocolVersion;
  r["version"] = kHostVersion;
  return r;
}

Json write_submit(const SubmitReply& reply) {
  Json r = Json::object();
  r["duplicate"] = reply.duplicate;
  r["intent_id"] = reply.record.intent_id;
  r["os_job_id"] = reply.record.os_job_id;
  r["printer"] = reply.record.printer;
  r["state"] = state_name(reply.record.state);
  // With a fleet: the station that printed it (another, for a duplicate).
  if (!reply.record.station.empty()) r["station"] = reply.record.station;
  if (reply.save_error) {
    r["outcome_saved"] = false;
    r["host_stopping"] = true;
    r["save_error"] = *reply.save_error;
  }
  return r;
}

Json write_job(const JobRecord& record) {
  Json j = Json::object();
  j["created_at_ms"] = record.created_at_ms;
  j["error_code"] = record.error_code;
  j["error_message"] = record.error_message;
  j["intent_id"] = record.intent_id;
  j["os_job_id"] = record.os_job_id;
  j["payload_sha256"] = record.payload_sha256;
  j["printer"] = record.printer;
  // With a fleet: the station that made the attempt.
  if (!record.station.empty()) j["station"] = record.station;
  j["state"] = state_name(record.state);
  j["updated_at_ms"] = record.updated_at_ms;
  return j;
}

Json write_found_jobs(const FoundJobs& found) {
  Json jobs = Json::array();
  for (const JobRecord& r : found.jobs) jobs.push_back(write_job(r));
  Json r = Json::object();
  r["jobs"] = std::move(jobs);
  r["truncated"] = found.truncated;
  return r;
}

namespace {

Json text_list(const std::vector<std::string>& reasons) {
  Json r = Json::array();
  for (const std::string& reason : reasons) r.push_back(reason);
  return r;
}

Json queue_entry(const QueueEntry& e, const PlatformInfo& info);

}  // namespace

Json write_printer(const PrinterDescription& printer) {
  const DocumentGeometry& g = printer.geometry;
  const bool px = printer.resolution_known();
  auto pixels = [px](int value) { return px ? Json(value) : Json(nullptr); };
  Json media = nullptr;
  Json printable = nullptr;
  if (printer.media_known()) {
    media = Json::object();
    media["name"] = g.media.name;
    media["width_hmm"] = g.media.width_hmm;
    media["height_hmm"] = g.media.height_hmm;
    media["width_px"] = pixels(g.page_width);
    media["height_px"] = pixels(g.page_height);
    printable = Json::object();
    printable["left_hmm"] = g.media.left_hmm;
    printable["top_hmm"] = g.media.top_hmm;
    printable["right_hmm"] = g.media.right_hmm;
    printable["bottom_hmm"] = g.media.bottom_hmm;
    printable["width_hmm"] = g.media.width_hmm - g.media.left_hmm - g.media.right_hmm;
    printable["height_hmm"] = g.media.height_hmm - g.media.top_hmm - g.media.bottom_hmm;
    printable["left_px"] = pixels(g.printable_left);
    printable["top_px"] = pixels(g.printable_top);
    printable["width_px"] = pixels(g.printable_width);
    printable["height_px"] = pixels(g.printable_height);
  }
  Json notices = Json::array();
  for (const QueueNotice& n : printer.notices) {
    Json notice = Json::object();
    notice["code"] = n.code;
    notice["message"] = n.message;
    notices.push_back(std::move(notice));
  }
  Json r = Json::object();
  r["accepting_jobs"] = printer.accepting_jobs;
  r["dpi_x"] = px ? dpi_value(g.dpi_x) : Json(nullptr);
  r["dpi_y"] = px ? dpi_value(g.dpi_y) : Json(nullptr);
  r["media"] = std::move(media);
  r["name"] = printer.name;
  r["notices"] = std::move(notices);
  r["printable_area"] = std::move(printable);
  r["raw"] = printer.raw;
  r["reasons"] = text_list(printer.reasons);
  r["state"] = printer.state;
  return r;
}

namespace {

Json queue_entry(const QueueEntry& e, const PlatformInfo& info) {
  Json p = Json::object();
  p["enabled"] = queue_enabled(e.state);
  p["name"] = e.name;
  p["raw"] = e.raw;
  p["reasons"] = text_list(e.reasons);
  p["state"] = e.state;
  p["uri"] = info.queue_uri;
  return p;
}

}  // namespace

Json write_printers(const PrinterList& list, const PlatformInfo& info) {
  Json printers = Json::array();
  for (const QueueEntry& e : list.queues) printers.push_back(queue_entry(e, info));
  Json result = Json::object();
  result["default_printer"] = list.default_printer;
  result["printers"] = std::move(printers);
  return result;
}

Json write_watching(const Watch& watch, const std::vector<std::string>& unknown) {
  Json r = Json::object();
  r["intents"] = text_list(watch.intents());
  r["printers"] = text_list(watch.printers());
  r["unknown_intents"] = text_list(unknown);
  return r;
}

Json write_printer_event(const QueueEntry& printer, const PlatformInfo& info) {
  Json p = queue_entry(printer, info);
  p["accepting_jobs"] = printer.accepting;
  return p;
}

}  // namespace tph
