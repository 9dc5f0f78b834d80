#include "submit/label_printer.h"

#include <gtest/gtest.h>

#include "fakes/recording_print_device.h"
#include "platform/system_error.h"
#include "submit/label_placement.h"

namespace tph {
namespace {

using testing::RecordingPrintDevice;

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
      {0, -5, 1000, 1000, 600, 400, 203, true, 200, 300, 600, 400},          // device dpi unknown: raster pixels
      {300, 300, 0, 3600, 100, 100, 300, false, 0, 0, 0, 0},                 // no printable width
      {300, 300, 3600, -1, 100, 100, 300, false, 0, 0, 0, 0},
      {1, 1, 3600, 3600, 16, 16, 1200, false, 0, 0, 0, 0},                   // natural size 0
      {2147483647, 2147483647, 3600, 3600, 10000, 10000, 72, false, 0, 0, 0, 0},
  };
  for (const auto& c : cases) {
    LabelPlacement p = place_label(c.lx, c.ly, c.horz, c.vert, c.w, c.h, c.dpi);
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
  const std::string pages3 = "StartPage StretchDIBits EndPage StartPage StretchDIBits EndPage StartPage StretchDIBits EndPage";
  const PrintCase cases[] = {
      {"success", {}, "CreateDC StartDoc " + pages3 + " EndDoc DeleteDC", nullptr, ""},
      {"queue", {{"CreateDC", 1}}, "CreateDC", "PRINTER_UNAVAILABLE", "Windows could not open the selected print queue"},
      {"rejected", {{"StartDoc", 1}}, "CreateDC StartDoc DeleteDC", "SUBMISSION_REJECTED", "Windows rejected the print job"},
      {"second page", {{"StartPage", 2}},
       "CreateDC StartDoc StartPage StretchDIBits EndPage StartPage AbortDoc DeleteDC", "UNKNOWN_OUTCOME",
       "Windows could not start the label page"},
      {"render", {{"StretchDIBits", 1}}, "CreateDC StartDoc StartPage StretchDIBits AbortDoc DeleteDC",
       "UNKNOWN_OUTCOME", "Windows could not render the label to the print queue"},
      {"finish page", {{"EndPage", 3}},
       "CreateDC StartDoc StartPage StretchDIBits EndPage StartPage StretchDIBits EndPage StartPage StretchDIBits EndPage AbortDoc DeleteDC",
       "UNKNOWN_OUTCOME", "Windows could not finish the label page"},
      {"end doc", {{"EndDoc", 1}}, "CreateDC StartDoc " + pages3 + " EndDoc AbortDoc DeleteDC", "UNKNOWN_OUTCOME",
       "Windows may have queued the label but did not acknowledge the completed document"},
  };
  const DeviceRaster raster{1200, 1800, std::vector<uint8_t>(1200 * 1800 * 4)};
  const std::string printer = "Label \xc3\xa9";
  const std::string title = "Order 12";
  for (const auto& c : cases) {
    RecordingPrintDevice device;
    device.fail_on = c.fail_on;
    Result<uint32_t> r = print_label(device, LabelJob{printer, title, 300, 3, raster});
    EXPECT_EQ(device.sequence(), c.sequence) << c.name;
    if (!c.code) {
      ASSERT_TRUE(r.ok()) << c.name;
      EXPECT_EQ(r.value(), 42u);
      EXPECT_EQ(device.device_name, printer);
      EXPECT_EQ(device.document_title, title);
      EXPECT_EQ(device.drawn_x, 1200);
      EXPECT_EQ(device.drawn_y, 1500);
      EXPECT_EQ(device.drawn_w, 2400);
      EXPECT_EQ(device.drawn_h, 3600);
      continue;
    }
    ASSERT_FALSE(r.ok()) << c.name;
    EXPECT_STREQ(r.error().code, c.code) << c.name;
    EXPECT_EQ(r.error().message, c.context + ": " + describe_system_error(1804)) << c.name;
  }
}

TEST(PrintLabel, MisfitIsRefusedBeforeTheDocument) {
  RecordingPrintDevice device;
  device.horz_res = 1700;
  device.vert_res = 3600;
  const DeviceRaster raster{1200, 1800, std::vector<uint8_t>(1200 * 1800 * 4)};
  Result<uint32_t> r = print_label(device, LabelJob{"Q", "T", 300, 1, raster});
  ASSERT_FALSE(r.ok());
  EXPECT_STREQ(r.error().code, "MEDIA_MISMATCH");
  EXPECT_EQ(r.error().message, "The selected Windows queue's paper size or orientation does not safely fit this label.");
  EXPECT_EQ(device.sequence(), "CreateDC DeleteDC");
}

}  // namespace
}  // namespace tph
