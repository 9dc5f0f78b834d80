#include "platform/cups/cups_mapping.h"

#include <string>

#include "platform/queue_marks.h"

namespace tph::cups {
namespace {

bool ends_with(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

// A reason without its severity suffix. IPP says a reason without one is of
// error severity.
std::string_view base_of(std::string_view reason, std::string_view& severity) {
  for (std::string_view suffix : {"-error", "-warning", "-report"}) {
    if (ends_with(reason, suffix)) {
      severity = suffix.substr(1);
      return reason.substr(0, reason.size() - suffix.size());
    }
  }
  severity = "error";
  return reason;
}

bool is_offline(std::string_view base) { return base == "offline" || base == "connecting-to-device"; }

// Reasons that stop the printer until somebody acts.
bool is_trouble(std::string_view base, std::string_view severity) {
  if (severity != "error") return false;
  for (std::string_view known : {"media-jam", "media-empty", "media-needed", "door-open", "cover-open",
                                 "toner-empty", "marker-supply-empty", "input-tray-missing", "output-area-full",
                                 "fuser-over-temp", "interlock-open", "other"}) {
    if (base == known) return true;
  }
  return false;
}

template <typename Visit>
void for_each_reason(std::string_view reasons, Visit visit) {
  while (!reasons.empty()) {
    const size_t comma = reasons.find(',');
    std::string_view r = reasons.substr(0, comma);
    while (!r.empty() && r.front() == ' ') r.remove_prefix(1);
    while (!r.empty() && r.back() == ' ') r.remove_suffix(1);
    if (!r.empty() && r != "none") visit(r);
    if (comma == std::string_view::npos) break;
    reasons.remove_prefix(comma + 1);
  }
}

}  // namespace

std::string_view queue_state(int printer_state, std::string_view reasons, bool accepting) {
  if (printer_state != kPrinterIdle && printer_state != kPrinterProcessing && printer_state != kPrinterStopped) {
    return "unavailable";
  }
  if (!accepting) return "error";
  if (printer_state == kPrinterStopped) return "paused";
  bool offline = false, error = false;
  for_each_reason(reasons, [&](std::string_view reason) {
    std::string_view severity;
    const std::string_view base = base_of(reason, severity);
    if (is_offline(base) || reason == "offline-report") {
      offline = true;
    } else if (is_trouble(base, severity) || ends_with(reason, "-error")) {
      error = true;
    }
  });
  if (offline) return "offline";
  if (error) return "error";
  return printer_state == kPrinterProcessing ? "printing" : "idle";
}

std::vector<std::string> portable_reasons(int printer_state, std::string_view reasons, bool accepting) {
  std::vector<std::string> out;
  if (printer_state == kPrinterStopped) out.push_back(kReasonPaused);
  if (!accepting) out.push_back(kReasonError);
  for_each_reason(reasons, [&](std::string_view reason) {
    std::string_view severity;
    const std::string_view base = base_of(reason, severity);
    if (is_offline(base) || reason == "offline-report") {
      out.push_back(kReasonOffline);
    } else if (severity != "error") {
      return;
    } else if (base == "paused") {
      out.push_back(kReasonPaused);
    } else if (base == "media-empty" || base == "media-needed") {
      out.push_back(kReasonMediaEmpty);
    } else if (base == "media-jam") {
      out.push_back(kReasonMediaJam);
    } else if (base == "door-open" || base == "cover-open" || base == "interlock-open") {
      out.push_back(kReasonDoorOpen);
    } else if (!(base == "none" || base == "moving-to-paused" || base == "shutdown" || base == "timed-out")) {
      out.push_back(kReasonError);
    }
  });
  settle_reasons(out);
  return out;
}

JobObservation job_observation(int job_state) {
  switch (job_state) {
    case kJobPending:
    case kJobHeld:
    case kJobProcessing:
    case kJobStopped:
      return JobObservation::kActive;
    case kJobCompleted:
      return JobObservation::kCompleted;
    case kJobCanceled:
    case kJobAborted:
      return JobObservation::kDeleted;
    default:
      return JobObservation::kQueryFailed;
  }
}

bool is_attempt_job(std::string_view job_printer_uri, std::string_view queue, long long created_s,
                    uint64_t record_created_ms) {
  if (queue.empty() || created_s < 0) return false;
  bool on_queue = false;
  for (std::string_view folder : {"/printers/", "/classes/"}) {
    std::string tail(folder);
    tail += queue;
    on_queue = on_queue || ends_with(job_printer_uri, tail);
  }
  // The record is written before the job is created, so a job of this
  // attempt was created in the record's second or later.
  return on_queue && static_cast<uint64_t>(created_s) >= record_created_ms / 1000;
}

namespace {

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n')) s.remove_suffix(1);
  return s;
}

bool is_true_word(std::string_view v) {
  return v.empty() || equals_ignoring_case(v, "on") || equals_ignoring_case(v, "yes") || equals_ignoring_case(v, "true");
}

}  // namespace

bool is_raw_make_and_model(std::string_view make_and_model) { return make_and_model == "Local Raw Printer"; }

bool uri_allows_supplies_lookup(std::string_view uri) {
  constexpr std::string_view kScheme = "socket://";
  if (uri.size() < kScheme.size() || !equals_ignoring_case(uri.substr(0, kScheme.size()), kScheme)) return false;
  const size_t query = uri.find('?');
  if (query == std::string_view::npos) return true;
  std::string_view options = uri.substr(query + 1);
  bool allowed = true;
  while (!options.empty()) {
    const size_t end = options.find_first_of("&+");
    std::string_view option = options.substr(0, end);
    options = end == std::string_view::npos ? std::string_view() : options.substr(end + 1);
    const size_t eq = option.find('=');
    if (!equals_ignoring_case(option.substr(0, eq), "snmp")) continue;
    allowed = is_true_word(eq == std::string_view::npos ? std::string_view() : option.substr(eq + 1));
  }
  return allowed;
}

std::optional<bool> ppd_supplies_setting(std::string_view line) {
  constexpr std::string_view kKey = "*cupsSNMPSupplies:";
  if (line.substr(0, kKey.size()) != kKey) return std::nullopt;
  std::string_view value = trimmed(line.substr(kKey.size()));
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = trimmed(value.substr(1, value.size() - 2));
  return equals_ignoring_case(value, "true");
}

}  // namespace tph::cups
