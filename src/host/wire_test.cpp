#include "host/wire.h"

#include <gtest/gtest.h>

#include "fakes/fake_spooler.h"
#include "fakes/recording_print_document.h"
#include "queues/printer_description.h"
#include "platform/system_error.h"
#include "queues/queue_listing.h"

namespace tph {
namespace {

using testing::FakeSpooler;

const PlatformInfo& info(const char* system, const char* uri) {
  static PlatformInfo i;
  i = PlatformInfo{"p", "a", system, uri};
  return i;
}

TEST(ListPrinters, SortsByBytesKeepsEqualNamesInOrderAndMapsEnabled) {
  FakeSpooler spooler;
  spooler.add_queue("label A", "idle");
  spooler.add_queue("Queue B", "paused");
  spooler.add_queue("Label 2", "printing");
  spooler.add_queue("Label", "error");
  spooler.add_queue("Label", "idle");
  spooler.add_queue("Denied", "unavailable");
  spooler.add_queue("Far", "offline", true, true);
  spooler.default_name = "Elsewhere";
  Result<PrinterList> r = list_printers(spooler, info("CUPS", "cups"));
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(write_printers(r.value(), info("CUPS", "cups")).dump(),
            R"({"default_printer":"Elsewhere","printers":[)"
            R"({"enabled":false,"name":"Denied","raw":false,"reasons":[],"state":"unavailable","uri":"cups"},)"
            R"({"enabled":false,"name":"Far","raw":true,"reasons":[],"state":"offline","uri":"cups"},)"
            R"({"enabled":false,"name":"Label","raw":false,"reasons":[],"state":"error","uri":"cups"},)"
            R"({"enabled":true,"name":"Label","raw":false,"reasons":[],"state":"idle","uri":"cups"},)"
            R"({"enabled":true,"name":"Label 2","raw":false,"reasons":[],"state":"printing","uri":"cups"},)"
            R"({"enabled":false,"name":"Queue B","raw":false,"reasons":[],"state":"paused","uri":"cups"},)"
            R"({"enabled":true,"name":"label A","raw":false,"reasons":[],"state":"idle","uri":"cups"}]})");
}

// What the print system cannot know is null, never a guess; the notices
// come in order, a raw queue's own first.
TEST(DescribePrinter, UnknownsAreNullAndNoticesListed) {
  const std::string sized =
      R"("dpi_x":203,"dpi_y":203,"media":{"height_hmm":15240,"height_px":1218,"name":"na_index-4x6_4x6in",)"
      R"("width_hmm":10160,"width_px":812},"name":"Q","notices":[],"printable_area":{"bottom_hmm":0,)"
      R"("height_hmm":15240,"height_px":1218,"left_hmm":0,"left_px":0,"right_hmm":0,"top_hmm":0,"top_px":0,)"
      R"("width_hmm":10160,"width_px":812},"raw":false,"reasons":[],"state":"idle"})";
  struct Case {
    const char* what;
    bool raw;
    int width_hmm;
    std::optional<int> dpi;
    std::vector<QueueNotice> notices;
    std::string reply;
  } cases[] = {
      {"driven, sized", false, 10160, 203, {}, R"({"accepting_jobs":true,)" + sized},
      {"driven, no media size", false, 0, 203, {{"SNMP_LOOKUP_DELAY", "slow"}},
       R"({"accepting_jobs":true,"dpi_x":203,"dpi_y":203,"media":null,"name":"Q",)"
       R"("notices":[{"code":"SNMP_LOOKUP_DELAY","message":"slow"}],"printable_area":null,"raw":false,"reasons":[],"state":"idle"})"},
      {"driven, no resolution", false, 10160, std::nullopt, {},
       R"({"accepting_jobs":true,"dpi_x":null,"dpi_y":null,"media":{"height_hmm":15240,"height_px":null,)"
       R"("name":"na_index-4x6_4x6in","width_hmm":10160,"width_px":null},"name":"Q","notices":[],"printable_area":)"
       R"({"bottom_hmm":0,"height_hmm":15240,"height_px":null,"left_hmm":0,"left_px":null,"right_hmm":0,)"
       R"("top_hmm":0,"top_px":null,"width_hmm":10160,"width_px":null},"raw":false,"reasons":[],"state":"idle"})"},
      {"raw, whatever its document says", true, 10160, 203, {{"X", "y"}},
       R"({"accepting_jobs":true,"dpi_x":null,"dpi_y":null,"media":null,"name":"Q","notices":[{"code":"RAW_QUEUE",)"
       R"("message":"Q passes what it is sent to the printer as it is, and knows neither the printer's resolution )"
       R"(nor its label: send the printer's own language (submit_raw; the client's target option renders labels )"
       R"(and PDFs into it)."},{"code":"X","message":"y"}],"printable_area":null,"raw":true,"reasons":[],"state":"idle"})"},
  };
  for (const Case& c : cases) {
    FakeSpooler spooler;
    spooler.add_queue("Q", "idle", true, c.raw).notices = c.notices;
    auto log = std::make_shared<testing::PrintLog>();
    log->geometry = DocumentGeometry{c.dpi, c.dpi, 812, 1218, 812, 1218, 0, 0,
                                     MediaSheet{"na_index-4x6_4x6in", c.width_hmm, 15240}};
    Result<PrinterDescription> d =
        describe_printer("Q", std::make_unique<testing::RecordingPrintDocument>(log), spooler, info("CUPS", "cups"));
    ASSERT_TRUE(d.ok()) << c.what;
    EXPECT_EQ(write_printer(d.value()).dump(), c.reply) << c.what;
  }
}

TEST(ListPrinters, FailuresNameThePrintSystem) {
  {
    FakeSpooler spooler;
    spooler.add_queue("fine", "idle");
    spooler.listing_fails = OsStatus::Fail(0, "no terminator", OsErrorKind::kInvalidName);
    Result<PrinterList> r = list_printers(spooler, info("Windows", "winspool"));
    ASSERT_FALSE(r.ok());
    EXPECT_STREQ(r.error().code_name(), "PRINT_SYSTEM_UNAVAILABLE");
    EXPECT_EQ(r.error().message, "Windows returned an invalid print-queue name.");
  }
  {
    FakeSpooler spooler;
    spooler.listing_fails = OsStatus::Fail(1722, describe_system_error(1722));
    Result<PrinterList> r = list_printers(spooler, info("CUPS", "cups"));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message, "CUPS could not enumerate print queues: " + describe_system_error(1722));
  }
  {
    FakeSpooler spooler;
    spooler.default_name = "Somewhere";
    EXPECT_EQ(write_printers(list_printers(spooler, info("Windows", "winspool")).value(), info("Windows", "winspool")).dump(),
              R"({"default_printer":"Somewhere","printers":[]})");
  }
}

}  // namespace
}  // namespace tph
