#pragma once
#include <memory>

#include "platform/platform_info.h"
#include "platform/print_document.h"
#include "platform/spooler.h"
#include "queues/printer_voice.h"
#include "support/host_error.h"
#include <string>
#include <vector>

namespace tph {

// The describe_printer reply: what printing to `printer` uses, read through
// a document opened on it exactly as a print attempt opens one (nothing is
// printed): the resolution, the default media and its margins, and the
// printable area, in hundredths of a millimetre and in device pixels; and
// the queue's state. A queue that cannot be opened is PRINTER_UNAVAILABLE.
// What the print system cannot know is unknown, never a guess: a raw queue
// has no resolution or media of its own, and a queue that names no media
// size has none.
struct PrinterDescription {
  std::string name;
  DocumentGeometry geometry;
  std::string state;  // as list_printers reports it; "unavailable" for a queue it does not show
  bool accepting_jobs = false;
  bool raw = false;
  bool resolution_known() const { return !raw && geometry.dpi_x && geometry.dpi_y; }
  bool media_known() const { return !raw && geometry.media.width_hmm > 0 && geometry.media.height_hmm > 0; }
  // The set-up's notices (the print system's, and a raw queue's own).
  std::vector<QueueNotice> notices;
  // Why the queue is in its state (kReason... words), the printer's own word
  // included where it gives it.
  std::vector<std::string> reasons;
};
Result<PrinterDescription> describe_printer(const std::string& printer, std::unique_ptr<PrintDocument> document, Spooler& spooler,
                              const PlatformInfo& info, PrinterVoice* voice = nullptr);

}  // namespace tph
