#include <cups/cups.h>
#include <cups/pwg.h>

#include <memory>
#include <string>

#include "platform/cups/cups_print_system.h"
#include "platform/cups/cups_scheduler.h"
#include "platform/cups/postscript_pages.h"
#include "platform/print_document.h"
#include "support/text_conversion.h"

namespace tph {
namespace {

// Device pixels per inch used when a queue does not say its resolution: the
// document is PostScript, so any grid fine enough will do.
constexpr int kFallbackDpi = 600;

// Hundredths of a millimetre, as IPP measures media.
constexpr double kHmmPerInch = 2540.0;

// The queue's default media: its size and margins, in hundredths of a mm.
struct Media {
  std::string name;
  int width = 0, length = 0;
  int left = 0, right = 0, top = 0, bottom = 0;
};

// A size or margin of the queue's media, within 0..100 m: a broken or hostile
// printer's values must not overflow the arithmetic that places a label.
int member_int(ipp_t* collection, const char* name) {
  ipp_attribute_t* a = collection ? ippFindAttribute(collection, name, IPP_TAG_INTEGER) : nullptr;
  const int v = a ? ippGetInteger(a, 0) : 0;
  return v < 0 ? 0 : (v > 10'000'000 ? 10'000'000 : v);
}

// One document on a CUPS queue: the job is created and its PostScript
// document started on a connection of its own, and each page is written to
// the scheduler as it is made. PostScript rather than PDF: the PDF filters
// rasterise and resample the image, while a PostScript page reaches the queue
// with the label's pixels as they are.
class CupsPrintDocument final : public PrintDocument {
 public:

  OsStatus open(const std::string& queue) override {
    cups::Scheduler scheduler;
    if (OsStatus s = scheduler.connect(); !s.ok()) return s.error();
    OsResult<cups::IppMessage> attributes = cups::queue_attributes(
        scheduler, queue, {"media-col-default", "media-default", "printer-resolution-default"});
    if (!attributes.ok()) return attributes.take_error();
    read_media(attributes.value().get());
    read_resolution(attributes.value().get());
    queue_ = queue;
    return OsStatus::Ok();
  }

  DocumentGeometry geometry() override {
    DocumentGeometry g;
    g.dpi_x = dpi_x_;
    g.dpi_y = dpi_y_;
    auto px = [](int hmm, int dpi) { return static_cast<int>(hmm * int64_t{dpi} / 2540); };
    g.printable_width = px(media_.width - media_.left - media_.right, dpi_x_);
    g.printable_height = px(media_.length - media_.top - media_.bottom, dpi_y_);
    g.page_width = px(media_.width, dpi_x_);
    g.page_height = px(media_.length, dpi_y_);
    g.printable_left = px(media_.left, dpi_x_);
    g.printable_top = px(media_.top, dpi_y_);
    g.media = {media_.name, media_.width, media_.length, media_.left, media_.top, media_.right, media_.bottom};
    return g;
  }

  void set_job_uuid(const std::string& uuid) override { job_.set_uuid(uuid); }

  OsResult<uint32_t> start(const std::string& title) override {
    OsResult<uint32_t> job_id = job_.start(queue_, title, CUPS_FORMAT_POSTSCRIPT);
    if (!job_id.ok()) return job_id.error();
    pages_ = std::make_unique<cups::PostScriptPages>(
        to_points(media_.width), to_points(media_.length),
        [this](const char* data, size_t size) { return job_.write(reinterpret_cast<const uint8_t*>(data), size); });
    return job_id;
  }

  // A page is sent as it is made; a failure to send it ends the page.
  PageStatus print_page(const PageRect& where, uint32_t width, uint32_t height, const uint8_t* bgrx) override {
    const cups::ImageBox box{to_points(media_.left + where.x * kHmmPerInch / dpi_x_),
                             to_points(media_.top + where.y * kHmmPerInch / dpi_y_),
                             to_points(where.width * kHmmPerInch / dpi_x_),
                             to_points(where.height * kHmmPerInch / dpi_y_)};
    if (OsStatus s = pages_->page(box, width, height, bgrx); !s.ok()) return PageFailure{PageFailure::Step::kEnd, s.error()};
    return PagePrinted{};
  }

  // The document's header goes out with its first page: until then the
  // queue has the empty job and nothing else.
  bool anything_sent() const override { return pages_ && pages_->bytes_sent() > 0; }

  OsStatus finish() override {
    if (OsStatus s = pages_->finish(); !s.ok()) return s.error();
    return job_.finish();
  }

 private:
  static double to_points(double hmm) { return hmm * 72.0 / kHmmPerInch; }

  // media-col-default where the queue has it; else the media-default
  // keyword's size with no margins.
  void read_media(ipp_t* attributes) {
    media_ = Media{};
    ipp_attribute_t* keyword = ippFindAttribute(attributes, "media-default", IPP_TAG_ZERO);
    const char* name = keyword ? ippGetString(keyword, 0, nullptr) : nullptr;
    if (name) media_.name = repaired_utf8(name);
    if (ipp_attribute_t* col = ippFindAttribute(attributes, "media-col-default", IPP_TAG_BEGIN_COLLECTION)) {
      ipp_t* media = ippGetCollection(col, 0);
      ipp_attribute_t* size = media ? ippFindAttribute(media, "media-size", IPP_TAG_BEGIN_COLLECTION) : nullptr;
      ipp_t* dims = size ? ippGetCollection(size, 0) : nullptr;
      media_.width = member_int(dims, "x-dimension");
      media_.length = member_int(dims, "y-dimension");
      media_.left = member_int(media, "media-left-margin");
      media_.right = member_int(media, "media-right-margin");
      media_.top = member_int(media, "media-top-margin");
      media_.bottom = member_int(media, "media-bottom-margin");
      if (media_.width > 0 && media_.length > 0) return;
    }
    media_.width = media_.length = media_.left = media_.right = media_.top = media_.bottom = 0;
    if (pwg_media_t* pwg = name ? pwgMediaForPWG(name) : nullptr) {
      media_.width = pwg->width;
      media_.length = pwg->length;
    }
  }

  void read_resolution(ipp_t* attributes) {
    dpi_x_ = dpi_y_ = kFallbackDpi;
    ipp_attribute_t* r = ippFindAttribute(attributes, "printer-resolution-default", IPP_TAG_RESOLUTION);
    if (!r || ippGetValueTag(r) != IPP_TAG_RESOLUTION) return;
    ipp_res_t units;
    int y = 0;
    int x = ippGetResolution(r, 0, &y, &units);
    if (units == IPP_RES_PER_CM) {
      if (x <= 0 || y <= 0 || x > 40'000 || y > 40'000) return;
      x = static_cast<int>(x * 2.54 + 0.5);
      y = static_cast<int>(y * 2.54 + 0.5);
    }
    if (x > 0 && y > 0 && x <= 100'000 && y <= 100'000) {
      dpi_x_ = x;
      dpi_y_ = y;
    }
  }

  std::string queue_;
  cups::Job job_;
  Media media_;
  int dpi_x_ = kFallbackDpi, dpi_y_ = kFallbackDpi;
  std::unique_ptr<cups::PostScriptPages> pages_;
};

}  // namespace

std::unique_ptr<PrintDocument> new_cups_print_document() { return std::make_unique<CupsPrintDocument>(); }

}  // namespace tph
