#include "queues/printer_description.h"

#include "support/error_catalogue.h"

namespace tph {
namespace {

Json dpi_value(const std::optional<int>& dpi) { return dpi ? Json(*dpi) : Json(nullptr); }

}  // namespace

Result<Json> describe_printer(const std::string& printer, std::unique_ptr<PrintDocument> document, Spooler& spooler,
                              const PlatformInfo& info) {
  using namespace errors;
  if (OsStatus s = document->open(printer); !s.ok) {
    return with_context(kPrinterUnavailable, named(kCtxOpenQueue, info.print_system), s.description);
  }
  const DocumentGeometry g = document->geometry();
  document.reset();  // releases the queue before the print system is asked again

  Json media = Json::object();
  media["name"] = g.media.name;
  media["width_hmm"] = g.media.width_hmm;
  media["height_hmm"] = g.media.height_hmm;
  media["width_px"] = g.page_width;
  media["height_px"] = g.page_height;

  Json printable = Json::object();
  printable["left_hmm"] = g.media.left_hmm;
  printable["top_hmm"] = g.media.top_hmm;
  printable["right_hmm"] = g.media.right_hmm;
  printable["bottom_hmm"] = g.media.bottom_hmm;
  printable["width_hmm"] = g.media.width_hmm - g.media.left_hmm - g.media.right_hmm;
  printable["height_hmm"] = g.media.height_hmm - g.media.top_hmm - g.media.bottom_hmm;
  printable["left_px"] = g.printable_left;
  printable["top_px"] = g.printable_top;
  printable["width_px"] = g.printable_width;
  printable["height_px"] = g.printable_height;

  // The state as list_printers reports it; a queue the listing does not
  // show (or a listing that failed) is "unavailable".
  std::string_view state = "unavailable";
  bool accepting = false;
  if (std::optional<QueueEntry> entry = spooler.queue_entry(printer)) {
    state = entry->state;
    accepting = entry->accepting;
  }

  Json r = Json::object();
  r["accepting_jobs"] = accepting;
  r["dpi_x"] = dpi_value(g.dpi_x);
  r["dpi_y"] = dpi_value(g.dpi_y);
  r["media"] = std::move(media);
  r["name"] = printer;
  r["printable_area"] = std::move(printable);
  r["state"] = state;
  return r;
}

}  // namespace tph
