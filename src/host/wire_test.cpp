#include "host/wire.h"

#include <gtest/gtest.h>

#include "fakes/fake_spooler.h"
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
  spooler.add_queue("Far", "offline");
  spooler.default_name = "Elsewhere";
  Result<PrinterList> r = list_printers(spooler, info("CUPS", "cups"));
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(write_printers(r.value(), info("CUPS", "cups")).dump(),
            R"({"default_printer":"Elsewhere","printers":[)"
            R"({"enabled":false,"name":"Denied","state":"unavailable","uri":"cups"},)"
            R"({"enabled":false,"name":"Far","state":"offline","uri":"cups"},)"
            R"({"enabled":false,"name":"Label","state":"error","uri":"cups"},)"
            R"({"enabled":true,"name":"Label","state":"idle","uri":"cups"},)"
            R"({"enabled":true,"name":"Label 2","state":"printing","uri":"cups"},)"
            R"({"enabled":false,"name":"Queue B","state":"paused","uri":"cups"},)"
            R"({"enabled":true,"name":"label A","state":"idle","uri":"cups"}]})");
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
