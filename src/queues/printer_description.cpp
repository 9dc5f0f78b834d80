#include "queues/printer_description.h"

#include "support/error_catalogue.h"

namespace tph {

Result<PrinterDescription> describe_printer(const std::string& printer, std::unique_ptr<PrintDocument> document, Spooler& spooler,
                              const PlatformInfo& info, PrinterVoice* voice) {
  using namespace errors;
  if (OsStatus s = document->open(printer); !s.ok()) {
    return with_context(kPrinterUnavailable, named(kCtxOpenQueue, info.print_system), s.error().description);
  }
  PrinterDescription d;
  d.name = printer;
  d.geometry = document->geometry();
  document.reset();  // releases the queue before the print system is asked again
  // The state as list_printers reports it; a queue the listing does not
  // show (or a listing that failed) is "unavailable".
  d.state = "unavailable";
  if (std::optional<QueueEntry> entry = spooler.queue_entry(printer)) {
    if (voice) voice->hear(*entry);
    d.reasons = std::move(entry->reasons);
    d.state = entry->state;
    d.accepting_jobs = entry->accepting;
    d.raw = entry->raw;
    d.notices = std::move(entry->notices);
  }
  if (d.raw) {
    d.notices.insert(d.notices.begin(),
                     {"RAW_QUEUE", printer + " passes what it is sent to the printer as it is, and knows neither the "
                                             "printer's resolution nor its label: send the printer's own language "
                                             "(submit_raw; the client's target option renders labels and PDFs into it)."});
  }
  return d;
}

}  // namespace tph
