#pragma once
// The one place results become wire JSON: each reply the protocol defines,
// written from the core's typed answer. Objects are ordered maps, so members
// come out in byte order of their keys.

#include <span>
#include <string_view>

#include "platform/platform_info.h"
#include "queues/job_query.h"
#include "queues/printer_description.h"
#include "queues/queue_listing.h"
#include "queues/watch.h"
#include "submit/attempt_runner.h"
#include "support/strict_json.h"

namespace tph {

// hello: who this host is and what it can do.
Json write_hello(const PlatformInfo& info, std::span<const std::string_view> capabilities);
// submit, submit_document, submit_raw.
Json write_submit(const SubmitReply& reply);
// get_job: a record's nine members.
Json write_job(const JobRecord& record);
Json write_found_jobs(const FoundJobs& found);
Json write_printer(const PrinterDescription& printer);
Json write_printers(const PrinterList& list, const PlatformInfo& info);
// watch, unwatch: everything the port watches now.
// `unknown`: the intents just watched that no attempt has yet.
Json write_watching(const Watch& watch, const std::vector<std::string>& unknown = {});
// An event's body: a job as get_job answers it; a printer as list_printers
// lists it, with its reasons and whether it takes jobs.
Json write_printer_event(const QueueEntry& printer, const PlatformInfo& info);

}  // namespace tph
