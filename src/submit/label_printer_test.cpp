#include "submit/label_printer.h"

#include <gtest/gtest.h>

#include "fakes/recording_print_document.h"
#include "platform/system_error.h"
#include "submit/label_placement.h"
#include "support/error_catalogue.h"

namespace tph {
namespace {

const std::string kUuid = "urn:uuid:00000000-0000-8000-8000-000000000000";

using testing::PrintLog;
using testing::RecordingPrintDocument;

TEST(LabelPlacement, WorkedExamples) {
  struct Case {
    int lx, ly, horz, vert;
    uint32_t w, h, dpi;
    bool fits;
    int x, y, pw, ph;
  } cases[] = {
      {600, 600, 2400, 3600, 1200, 1800, 300, true, 0, 0, 2400, 3600},      // exactly the page
      {600, 600, 4800, 6600, 1200, 1800, 300, true, 1200, 1500, 2400, 3600}, // centred
      {600, 600, 2000, 3600, 1200, 1800, 300, true, 0, 300, 2000, 3000},     // shrunk, width tighter
      {600, 600, 2400, 3000, 1200, 1800, 300, true, 200, 0, 2000, 3000},     // shrunk, height tighter
      {600, 600, 1700, 3600, 1200, 1800, 300, false, 0, 0, 0, 0},            // below three quarters
      {600, 600, 2400, 3600, 1800, 1200, 300, false, 0, 0, 0, 0},            // never rotated
      {0, 0, 1000, 1000, 600, 400, 203, true, 200, 300, 600, 400},           // device dpi unknown: raster pixels
      {300, 300, 0, 3600, 100, 100, 300, false, 0, 0, 0, 0},                 // no printable width
      {300, 300, 3600, -1, 100, 100, 300, false, 0, 0, 0, 0},
      {1, 1, 3600, 3600, 16, 16, 1200, false, 0, 0, 0, 0},                   // natural size 0
      {2147483647, 2147483647, 3600, 3600, 10000, 10000, 72, false, 0, 0, 0, 0},
  };
  for (const auto& c : cases) {
    DocumentGeometry device{std::nullopt, std::nullopt, c.horz, c.vert};
    if (c.lx > 0) device.dpi_x = c.lx;  // 0: the device does not say
    if (c.ly > 0) device.dpi_y = c.ly;
    LabelPlacement p = place_label(device, c.w, c.h, c.dpi);
    EXPECT_EQ(p.fits, c.fits) << c.horz << "x" << c.vert;
    if (!c.fits) continue;
    EXPECT_EQ(p.x, c.x);
    EXPECT_EQ(p.y, c.y);
    EXPECT_EQ(p.width, c.pw);
    EXPECT_EQ(p.height, c.ph);
  }
}

struct PrintCase {
  std::string name;
  std::map<std::string, int> fail_on;
  std::string sequence;
  const char* code;  // nullptr: success
  std::string context;
};

TEST(PrintLabel, EveryFailurePointOfThePageSequence) {
  const std::string one = "start_page draw end_page";
  const std::string pages3 = one + " " + one + " " + one;
  const PrintCase cases[] = {
      {"success", {}, "open start " + pages3 + " finish release", nullptr, ""},
      {"queue", {{"open", 1}}, "open", "PRINTER_UNAVAILABLE", "CUPS could not open the selected print queue"},
      {"rejected", {{"start", 1}}, "open start release", "SUBMISSION_REJECTED", "CUPS rejected the print job"},
      {"second page", {{"start_page", 2}}, "open start " + one + " start_page abort release", "UNKNOWN_OUTCOME",
       "CUPS could not start the label page"},
      {"render", {{"draw", 1}}, "open start start_page draw abort release", "UNKNOWN_OUTCOME",
       "CUPS could not render the label to the print queue"},
      {"finish page", {{"end_page", 3}}, "open start " + pages3 + " abort release", "UNKNOWN_OUTCOME",
       "CUPS could not finish the label page"},
      {"finish", {{"finish", 1}}, "open start " + pages3 + " finish abort release", "UNKNOWN_OUTCOME",
       "CUPS may have queued the label but did not acknowledge the completed document"},
  };
  const DeviceRaster raster{1200, 1800, std::vector<uint8_t>(1200 * 1800 * 4)};
  OneRaster page(raster);
  const std::string printer = "Label \xc3\xa9";
  const std::string title = "Order 12";
  for (const auto& c : cases) {
    auto log = std::make_shared<PrintLog>();
    log->fail_on = c.fail_on;
    PrintOutcome r =
        print_label(std::make_unique<RecordingPrintDocument>(log), LabelJob{printer, title, kUuid, 300, 3, page}, "CUPS");
    EXPECT_EQ(log->sequence(), c.sequence) << c.name;
    if (!c.code) {
      ASSERT_TRUE(r.ok()) << c.name;
      EXPECT_EQ(r.job_id(), 42u);
      EXPECT_EQ(log->queue, printer);
      EXPECT_EQ(log->title, title);
      EXPECT_EQ(log->drawn.x, 1200);
      EXPECT_EQ(log->drawn.y, 1500);
      EXPECT_EQ(log->drawn.width, 2400);
      EXPECT_EQ(log->drawn.height, 3600);
      continue;
    }
    ASSERT_FALSE(r.ok()) << c.name;
    EXPECT_STREQ(r.error().code_name(), c.code) << c.name;
    EXPECT_EQ(r.error().message, c.context + ": " + describe_system_error(1804)) << c.name;
  }
}

// A document written out only when it ends (a CUPS PostScript document) has
// sent nothing while its pages are drawn: a failure there, with the job
// withdrawn, fails the attempt for certain. Once it is being written out,
// the outcome is unknown.
TEST(PrintLabel, FailuresBeforeAnythingWasSentAreCertain) {
  const std::pair<std::string, const char*> cases[] = {
      {"start_page", "SUBMISSION_REJECTED"}, {"draw", "SUBMISSION_REJECTED"}, {"end_page", "SUBMISSION_REJECTED"},
      {"finish", "UNKNOWN_OUTCOME"}};
  const DeviceRaster raster{100, 100, std::vector<uint8_t>(100 * 100 * 4)};
  OneRaster page(raster);
  for (const auto& [step, code] : cases) {
    auto log = std::make_shared<PrintLog>();
    log->sends_pages = false;
    log->fail_on = {{step, 1}};
    PrintOutcome r =
        print_label(std::make_unique<RecordingPrintDocument>(log), LabelJob{"Q", "T", kUuid, 300, 2, page}, "CUPS");
    ASSERT_FALSE(r.ok()) << step;
    EXPECT_STREQ(r.error().code_name(), code) << step;
    EXPECT_NE(log->sequence().find("abort release"), std::string::npos) << step;
  }
}

// Pages of the given widths (100 pixels high); the page `out_of_memory`
// (1-based, 0: none) cannot be had.
class FakePages final : public LabelPages {
 public:
  FakePages(std::vector<uint32_t> widths, size_t out_of_memory) : widths_(std::move(widths)), oom_(out_of_memory) {}
  size_t count() const override { return widths_.size(); }
  PngSize size(size_t page) const override { return {widths_[page], 100}; }
  Result<const DeviceRaster*> raster(size_t page) override {
    if (page + 1 == oom_) return errors::make(errors::kPayloadTooLarge, errors::kMsgOutOfMemory);
    raster_ = DeviceRaster{widths_[page], 100, std::vector<uint8_t>(size_t{widths_[page]} * 100 * 4)};
    return &raster_;
  }

 private:
  std::vector<uint32_t> widths_;
  size_t oom_;
  DeviceRaster raster_;
};

TEST(PrintLabel, DocumentPagesCollatedAndRefusedAsAWhole) {
  const std::string page = "start_page draw end_page";
  struct Case {
    std::string name;
    std::vector<uint32_t> widths;
    size_t out_of_memory;
    bool sends_pages;
    std::string sequence;
    std::vector<uint32_t> drawn;
    const char* code;  // nullptr: success
    std::string message;
  } cases[] = {
      {"two copies, collated", {100, 200, 300}, 0, true,
       "open start " + page + " " + page + " " + page + " " + page + " " + page + " " + page + " finish release",
       {100, 200, 300, 100, 200, 300}, nullptr, ""},
      {"page 2 wider than the page", {100, 9000, 300}, 0, true, "open release", {}, "MEDIA_MISMATCH",
       "Page 2: The selected CUPS queue's paper size or orientation does not safely fit this label."},
      {"page 3 out of memory, pages sent", {100, 200, 300}, 3, true,
       "open start " + page + " " + page + " abort release", {100, 200}, "UNKNOWN_OUTCOME",
       "Page 3: The request needs more memory than the print helper can get."},
      {"page 3 out of memory, nothing sent", {100, 200, 300}, 3, false,
       "open start " + page + " " + page + " abort release", {100, 200}, "PAYLOAD_TOO_LARGE",
       "Page 3: The request needs more memory than the print helper can get."},
  };
  for (const auto& c : cases) {
    auto log = std::make_shared<PrintLog>();
    log->geometry = DocumentGeometry{300, 300, 2400, 3600};
    log->sends_pages = c.sends_pages;
    FakePages pages(c.widths, c.out_of_memory);
    PrintOutcome r =
        print_label(std::make_unique<RecordingPrintDocument>(log), LabelJob{"Q", "T", kUuid, 300, 2, pages}, "CUPS");
    EXPECT_EQ(log->sequence(), c.sequence) << c.name;
    EXPECT_EQ(log->drawn_widths, c.drawn) << c.name;
    if (!c.code) {
      EXPECT_TRUE(r.ok()) << c.name;
      continue;
    }
    ASSERT_FALSE(r.ok()) << c.name;
    EXPECT_STREQ(r.error().code_name(), c.code) << c.name;
    EXPECT_EQ(r.error().message, c.message) << c.name;
  }
}

TEST(PrintLabel, MisfitIsRefusedBeforeTheDocument) {
  auto log = std::make_shared<PrintLog>();
  log->geometry = DocumentGeometry{600, 600, 1700, 3600};
  const DeviceRaster raster{1200, 1800, std::vector<uint8_t>(1200 * 1800 * 4)};
  OneRaster page(raster);
  PrintOutcome r =
      print_label(std::make_unique<RecordingPrintDocument>(log), LabelJob{"Q", "T", kUuid, 300, 1, page}, "Windows");
  ASSERT_FALSE(r.ok());
  EXPECT_STREQ(r.error().code_name(), "MEDIA_MISMATCH");
  EXPECT_EQ(r.error().message, "The selected Windows queue's paper size or orientation does not safely fit this label.");
  EXPECT_EQ(log->sequence(), "open release");
}

}  // namespace
}  // namespace tph
