#pragma once
// What CUPS reports (IPP printer and job states, printer-state-reasons),
// mapped to the spooler port's portable results. Pure functions, without
// <cups/...>, so that every build compiles and tests them.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/spooler.h"

namespace tph::cups {

// IPP printer-state values; 0 when the attribute could not be read.
inline constexpr int kPrinterIdle = 3;
inline constexpr int kPrinterProcessing = 4;
inline constexpr int kPrinterStopped = 5;

// The coarse state of a queue from its printer-state and its comma-separated
// printer-state-reasons, in the order the Windows mapping decides: stopped
// is "paused"; then offline or connecting reasons are "offline"; then a
// reason of error severity (a jam, empty media or toner, an open door, any
// "-error" reason) is "error"; then processing is "printing" and idle "idle".
// A state that cannot be read is "unavailable". A queue that rejects jobs
// (cupsreject) is "error" whatever else it says: nothing sent there prints
// until somebody lets it accept jobs again.
std::string_view queue_state(int printer_state, std::string_view reasons, bool accepting = true);

// The portable reasons (kReason...) behind a queue's state, from the same
// printer-state and printer-state-reasons: stopped is paused; offline or
// connecting reasons are offline; media-empty or media-needed, media-jam,
// door-open, cover-open or interlock-open are themselves; any other reason of
// error severity, or a queue that rejects jobs, is error. Warnings and
// reports that are not offline add nothing. Sorted, each once.
std::vector<std::string> portable_reasons(int printer_state, std::string_view reasons, bool accepting = true);

// IPP job-state values.
inline constexpr int kJobPending = 3;
inline constexpr int kJobHeld = 4;
inline constexpr int kJobProcessing = 5;
inline constexpr int kJobStopped = 6;
inline constexpr int kJobCanceled = 7;
inline constexpr int kJobAborted = 8;
inline constexpr int kJobCompleted = 9;

// pending, held, processing, stopped: active; completed: completed;
// canceled, aborted: deleted (nothing is known to have printed); any other
// value: the query failed.
JobObservation job_observation(int job_state);

// Whether a job the scheduler reports under a remembered job id is the job
// an attempt created: it must sit on the attempt's queue (its
// job-printer-uri ends in "/printers/<queue>" or "/classes/<queue>") and
// must have been created (time-at-creation, seconds since the epoch) no
// earlier than the attempt's record. A scheduler that lost its spool hands
// the same ids out again, to other queues and later jobs.
bool is_attempt_job(std::string_view job_printer_uri, std::string_view queue, long long created_s,
                    uint64_t record_created_ms);

// Whether a queue is one without a driver: cupsd names such a queue's make
// and model "Local Raw Printer" (lpadmin -m raw, or no -m at all).
bool is_raw_make_and_model(std::string_view make_and_model);

// Whether CUPS's socket backend asks the printer for its supplies over SNMP
// before it sends a job, as far as the device URI decides it: a socket://
// URI whose options ("?a=b&c=d", '+' separating too) do not turn "snmp" off
// (anything but "", on, yes or true is off). The backend then also needs a
// driver whose PPD allows the look-up (see ppd_supplies_setting). A printer
// that does not answer SNMP costs every job the look-up's time-outs.
bool uri_allows_supplies_lookup(std::string_view device_uri);

// What one PPD line says of that look-up: true or false where the line is
// "*cupsSNMPSupplies: <value>" (anything but True is false, quotes
// ignored), nothing for any other line. A PPD that never says allows it.
std::optional<bool> ppd_supplies_setting(std::string_view ppd_line);

}  // namespace tph::cups
