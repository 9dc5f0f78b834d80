#pragma once
// One printed document on one queue, named for what the label printer needs:
// open it on a queue, read its geometry, start it with a title (which gives
// the job id), print each page, then finish. Destroying a document that was started and not finished aborts it;
// destroying an open one releases the device. Each step answers with one
// status carrying the system's error code and description, read right after
// the call that failed, so the core maps failures without knowing the OS.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/os_status.h"

namespace tph {

// The queue's default media: its name as the print system has it ("" where
// it says none), the sheet and the margins, in hundredths of a millimetre.
struct MediaSheet {
  std::string name;
  int width_hmm = 0, height_hmm = 0;
  int left_hmm = 0, top_hmm = 0, right_hmm = 0, bottom_hmm = 0;
};

// The device as the document sees it.
struct DocumentGeometry {
  // Device pixels per inch; nothing where the device does not say.
  std::optional<int> dpi_x;
  std::optional<int> dpi_y;
  // The printable area, in device pixels. Labels are placed in it.
  int printable_width = 0;
  int printable_height = 0;
  // The sheet in device pixels, and the printable area's top left on it.
  int page_width = 0, page_height = 0;
  int printable_left = 0, printable_top = 0;
  MediaSheet media;
};

// Where a raster lands on the page, in device pixels from the printable
// area's top left corner.
struct PageRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

// The step of a page that failed, and how: starting the page, drawing on it,
// or ending it.
struct PageFailure {
  enum class Step { kStart, kDraw, kEnd } step;
  OsError status;
};
struct PagePrinted {};
using PageStatus = Result<PagePrinted, PageFailure>;

class PrintDocument {
 public:
  virtual ~PrintDocument() = default;
  // Opens the queue (UTF-8 name) for one document. Nothing is printed yet.
  virtual OsStatus open(const std::string& queue) = 0;
  virtual DocumentGeometry geometry() = 0;
  // The attempt's job uuid (see attempt_job_uuid), set before start() on a
  // print system that keeps one with the job; others ignore it.
  virtual void set_job_uuid(const std::string& uuid) { (void)uuid; }
  // Starts the document: the print system's positive job number.
  virtual OsResult<uint32_t> start(const std::string& title) = 0;
  // Prints one page holding a top-down 32-bit raster (blue, green, red,
  // unused) of width x height pixels, rows without gaps, scaled into `where`.
  virtual PageStatus print_page(const PageRect& where, uint32_t width, uint32_t height, const uint8_t* bgrx) = 0;
  // Ends the document; success means the print system acknowledged it whole.
  virtual OsStatus finish() = 0;
  // False while it is certain that no byte of the document has reached the
  // print system (so a failure now, with the document aborted, prints
  // nothing). A spooler that may hold pages as they are drawn says true.
  virtual bool anything_sent() const = 0;
};

}  // namespace tph
