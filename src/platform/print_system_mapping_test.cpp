// What each print system reports, mapped onto the spooler port: the Windows
// status bits and names, and CUPS's IPP states and reasons. Pure functions,
// tested in every build.
#include <gtest/gtest.h>

#include "platform/cups/cups_mapping.h"
#include "platform/print_system.h"
#include "platform/queue_marks.h"
#include "platform/win32/winspool_mapping.h"

namespace tph {
namespace {

TEST(WinspoolQueueState, StatusBits) {
  struct Case {
    std::optional<uint32_t> status;
    std::string state;
  } cases[] = {
      {std::nullopt, "unavailable"}, {0x0, "idle"},          {0x1 | 0x80, "paused"}, {0x80 | 0x8, "offline"},
      {0x8, "error"},                {0x20000, "idle"},      {0x200 | 0x400000, "error"}, {0x400, "printing"},
      {0x10000, "printing"},         {0x1000000 | 0x2000000 | 0x4000000, "idle"}, {0x800000, "error"},
  };
  for (const auto& c : cases) EXPECT_EQ(winspool::queue_state(c.status), c.state) << (c.status ? *c.status : 0u);
}

TEST(WinspoolQueueList, NamesAreSkippedConvertedOrRefused) {
  using winspool::RawQueueName;
  std::vector<std::u16string> looked_up;
  auto status_of = [&looked_up](const std::u16string& name) -> std::optional<winspool::QueueFacts> {
    looked_up.push_back(name);
    if (name == std::u16string(u"Denied") + u'\0') return std::nullopt;
    if (name == std::u16string(u"RawOnly") + u'\0') return winspool::QueueFacts{0, 0x1000 | 0x40, u"Zebra"};
    if (name == std::u16string(u"Text") + u'\0') return winspool::QueueFacts{0, 0x40, u"Generic / Text Only"};
    return winspool::QueueFacts{0x400, 0x40 | 0x800, u"Generic / Text"};
  };
  const std::vector<RawQueueName> names = {
      {false, true, std::u16string(32767, u'q')},
      {true, true, {}},        // no name pointer: skipped
      {false, true, u""},      // empty: skipped
      {false, true, u"Denied"},
      {false, true, std::u16string(1, char16_t(0xD800)) + u"x"},  // unpaired surrogate
      {false, true, u"RawOnly"},
      {false, true, u"Text"},
  };
  QueueList list = winspool::queue_list(names, status_of);
  ASSERT_TRUE(list.ok());
  const std::vector<QueueEntry>& queues = list.value();
  ASSERT_EQ(queues.size(), 5u);
  EXPECT_EQ(queues[0].name, std::string(32767, 'q'));
  EXPECT_EQ(queues[0].state, "printing");
  EXPECT_EQ(queues[1].state, "unavailable");
  EXPECT_EQ(queues[2].name, "\xef\xbf\xbdx");
  // Raw: a RAW-only driver, or the text-only one; no other attribute or
  // driver name makes a queue raw.
  std::vector<bool> raw;
  for (const QueueEntry& q : queues) raw.push_back(q.raw);
  EXPECT_EQ(raw, (std::vector<bool>{false, false, false, true, true}));
  // Looked up under the converted name, NUL-terminated.
  EXPECT_EQ(looked_up[2], std::u16string(u"\xFFFDx") + u'\0');

  QueueList bad = winspool::queue_list({{false, true, u"fine"}, {false, false, std::u16string(32768, u'q')}}, status_of);
  ASSERT_FALSE(bad.ok());
  EXPECT_TRUE(bad.error().failed_as(OsErrorKind::kInvalidName));
}

TEST(WinspoolJobObservation, StatusBitsAndErrors) {
  using winspool::JobQuery;
  using O = JobObservation;
  struct Case {
    JobQuery query;
    O expected;
  } cases[] = {
      {{true, true, 0x100 | 0x1000, 0}, O::kDeleted}, {{true, true, 0x80, 0}, O::kCompleted},
      {{true, true, 0x1000, 0}, O::kCompleted},       {{true, true, 0x2 | 0x10, 0}, O::kActive},
      {{true, false, 0, 87}, O::kNoSuchJob},          {{true, false, 0, 5}, O::kQueryFailed},
      {{false, false, 0, 0}, O::kQueryFailed},
      // Taken by the spooler before the record was made (a second's grace): another's job.
      {{true, true, 0x80, 0, 1'000'000 - 1001}, O::kNoSuchJob}, {{true, true, 0x80, 0, 1'000'000 - 1000}, O::kCompleted},
      {{true, true, 0x2, 0, 2'000'000}, O::kActive},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(winspool::job_observation(c.query, 1'000'000), c.expected) << c.query.status << " " << c.query.submitted_ms;
  }
}

TEST(CupsQueueState, PrinterStateAndReasons) {
  struct Case {
    int state;
    const char* reasons;
    std::string expected;
    bool accepting = true;
  } cases[] = {
      {3, "none", "error", false},  // rejecting jobs (cupsreject)
      {5, "paused", "error", false},
      {3, "none", "idle"},
      {3, "", "idle"},
      {4, "none", "printing"},
      {5, "paused", "paused"},
      {5, "offline-report,media-jam-error", "paused"},  // stopped wins, as paused does on Windows
      {3, "offline-report", "offline"},
      {4, "connecting-to-device", "offline"},
      {3, "offline-report,media-jam", "offline"},
      {3, "media-jam", "error"},
      {3, "media-empty-error", "error"},
      {3, "door-open", "error"},
      {4, "toner-empty", "error"},
      {3, "marker-supply-low-warning", "idle"},
      {3, "media-empty-warning", "idle"},
      {3, "toner-low-report", "idle"},
      {3, "some-new-thing-error", "error"},
      {3, "cups-waiting-for-job-completed", "idle"},
      {3, "cups-missing-filter-warning, none", "idle"},
      {0, "none", "unavailable"},
      {7, "none", "unavailable"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(cups::queue_state(c.state, c.reasons, c.accepting), c.expected) << c.state << " " << c.reasons;
  }
}

TEST(CupsJobObservation, JobStates) {
  using O = JobObservation;
  const std::pair<int, O> cases[] = {{3, O::kActive},    {4, O::kActive},      {5, O::kActive},
                                     {6, O::kActive},    {7, O::kDeleted},     {8, O::kDeleted},
                                     {9, O::kCompleted}, {0, O::kQueryFailed}, {10, O::kQueryFailed}};
  for (const auto& [state, expected] : cases) EXPECT_EQ(cups::job_observation(state), expected) << state;
}

TEST(CupsJobObservation, OnlyTheAttemptsOwnJobCounts) {
  const uint64_t record_ms = 1'700'000'000'500;
  struct Case {
    const char* uri;
    const char* queue;
    long long created_s;
    bool expected;
  } cases[] = {
      {"ipp://localhost/printers/Label_PDF", "Label_PDF", 1'700'000'000, true},  // the record's own second
      {"ipp://localhost/printers/Label_PDF", "Label_PDF", 1'700'000'100, true},
      {"ipp://localhost/classes/Labels", "Labels", 1'700'000'100, true},
      {"ipp://localhost/printers/Label_PDF", "Label_PDF", 1'699'999'999, false},  // older than the attempt
      {"ipp://localhost/printers/Other", "Label_PDF", 1'700'000'100, false},      // a reused id on another queue
      {"ipp://localhost/printers/XLabel_PDF", "Label_PDF", 1'700'000'100, false},
      {"ipp://localhost/printers/Label_PDF", "", 1'700'000'100, false},
      {"", "Label_PDF", 1'700'000'100, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(cups::is_attempt_job(c.uri, c.queue, c.created_s, record_ms), c.expected) << c.uri << " " << c.created_s;
  }
}

// The host starts with the first print system its build lists; a name the
// build does not carry opens nothing rather than some other system.
TEST(CupsQueueSetUp, RawQueuesAndTheSuppliesLookUp) {
  EXPECT_TRUE(cups::is_raw_make_and_model("Local Raw Printer"));
  for (const char* model : {"", "Local Raw Printer ", "Generic PostScript Printer", "local raw printer"}) {
    EXPECT_FALSE(cups::is_raw_make_and_model(model)) << model;
  }
  struct UriCase {
    const char* uri;
    bool lookup;
  } uris[] = {
      {"socket://10.0.0.7:9100", true},
      {"SOCKET://printer", true},
      {"socket://10.0.0.7:9100/?snmp=false", false},
      {"socket://10.0.0.7?SNMP=off", false},
      {"socket://10.0.0.7:9100/?waiteof=false&snmp=no", false},
      {"socket://10.0.0.7:9100/?snmp=false+waiteof=false", false},
      {"socket://10.0.0.7:9100/?snmp=false&snmp=on", true},  // the backend takes the last
      {"socket://10.0.0.7:9100/?snmp", true},
      {"socket://10.0.0.7:9100/?snmpx=false", true},
      {"socket://10.0.0.7:9100/?waiteof=false", true},
      {"ipp://10.0.0.7/ipp/print", false},
      {"lpd://10.0.0.7/queue", false},
      {"cups-pdf:/", false},
      {"", false},
  };
  for (const UriCase& c : uris) EXPECT_EQ(cups::uri_allows_supplies_lookup(c.uri), c.lookup) << c.uri;
  struct PpdCase {
    const char* line;
    std::optional<bool> setting;
  } lines[] = {
      {"*cupsSNMPSupplies: False", false},   {"*cupsSNMPSupplies: \"False\"\r", false},
      {"*cupsSNMPSupplies:True", true},      {"*cupsSNMPSupplies: \"true\"", true},
      {"*cupsSNMPSupplies: no", false},      {"*%cupsSNMPSupplies: False", std::nullopt},
      {"*cupsSNMPSuppliesX: False", std::nullopt}, {"*DefaultResolution: 203dpi", std::nullopt},
  };
  for (const PpdCase& c : lines) EXPECT_EQ(cups::ppd_supplies_setting(c.line), c.setting) << c.line;
}

TEST(PrintSystems, TheDefaultOpensAndAnUnknownNameOpensNothing) {
  const std::vector<std::string_view> names = print_system_names();
  ASSERT_FALSE(names.empty());
  std::unique_ptr<PrintSystem> system = open_print_system(names.front());
  ASSERT_NE(system, nullptr);
  EXPECT_FALSE(system->display_name().empty());
  EXPECT_FALSE(system->queue_uri().empty());
  EXPECT_EQ(open_print_system("no-such-system"), nullptr);
  EXPECT_EQ(open_print_system(""), nullptr);
}


// The reasons behind a state, as events and replies name them.
TEST(PortableReasons, CupsAndWindows) {
  using V = std::vector<std::string>;
  struct CupsCase {
    int state;
    const char* reasons;
    bool accepting;
    V expected;
  } cups_cases[] = {
      {3, "none", true, {}},
      {5, "paused", true, {"paused"}},
      {5, "none", true, {"paused"}},
      {3, "none", false, {"error"}},
      {3, "offline-report", true, {"offline"}},
      {4, "connecting-to-device", true, {"offline"}},
      {3, "media-empty-error,media-jam", true, {"media-empty", "media-jam"}},
      {3, "media-needed", true, {"media-empty"}},
      {3, "cover-open,door-open-error", true, {"door-open"}},
      {3, "interlock-open", true, {"door-open"}},
      {3, "toner-empty", true, {"error"}},
      {3, "media-empty-warning,toner-low-report", true, {}},
      {3, "cups-waiting-for-job-completed", true, {"error"}},
      {3, "moving-to-paused,some-new-thing-error", true, {"error"}},
  };
  for (const auto& c : cups_cases) {
    EXPECT_EQ(cups::portable_reasons(c.state, c.reasons, c.accepting), c.expected) << c.state << " " << c.reasons;
  }
  const std::tuple<uint32_t, uint32_t, V> windows_cases[] = {
      {0x0, 0, {}},
      {0x1, 0, {"paused"}},
      {0x80 | 0x1000, 0, {"offline"}},
      {0x10, 0, {"media-empty"}},
      {0x8 | 0x400000, 0, {"door-open", "media-jam"}},
      {0x2 | 0x40000, 0, {"error"}},
      {0x4000000 | 0x400, 0, {}},  // driver update needed, printing: nothing wrong
      {0x0, winspool::kPrinterAttributeWorkOffline, {"offline"}},
  };
  for (const auto& [status, attributes, expected] : windows_cases) {
    EXPECT_EQ(winspool::portable_reasons(status, attributes), expected) << status;
  }
  winspool::QueueFacts offline;
  offline.attributes = winspool::kPrinterAttributeWorkOffline;
  EXPECT_EQ(winspool::queue_state(offline), "offline");
  offline.status = 0x1;
  EXPECT_EQ(winspool::queue_state(offline), "paused");
}

// A queue's set-up names the printer's status language and its socket.
TEST(QueueMarks, LanguageSocketAndTcpPort) {
  const std::pair<const char*, const char*> marks[] = {
      {"Dock label printer [language=zpl]", "zpl"}, {"LANGUAGE=ESCPOS", "escpos"}, {"x,language=esc/pos;y", "escpos"},
      {"language=zpl2", ""},  {"mylanguage=zpl", ""},  {"language = zpl", ""},  {"", ""}, {"language=epl", ""},
  };
  for (const auto& [description, language] : marks) EXPECT_EQ(marked_status_language(description), language) << description;

  struct UriCase {
    const char* uri;
    std::optional<DeviceAddress> device;
  } uris[] = {
      {"socket://127.0.0.1:9101", DeviceAddress{"127.0.0.1", 9101}},
      {"socket://printer.local", DeviceAddress{"printer.local", 9100}},
      {"SOCKET://10.0.0.5:9100/?snmp=false", DeviceAddress{"10.0.0.5", 9100}},
      {"socket://[::1]:9102?waiteof=false", DeviceAddress{"::1", 9102}},
      {"socket://[::1]", DeviceAddress{"::1", 9100}},
      {"socket://host:0", std::nullopt},
      {"socket://host:65536", std::nullopt},
      {"socket://host:", std::nullopt},
      {"socket://:9100", std::nullopt},
      {"socket://user@host:9100", std::nullopt},
      {"socket://[::1", std::nullopt},
      {"ipp://host/printers/x", std::nullopt},
      {"lpd://host/queue", std::nullopt},
      {"socket://host:91x0", std::nullopt},
  };
  for (const auto& c : uris) EXPECT_EQ(socket_device(c.uri), c.device) << c.uri;

  using winspool::TcpPortSettings;
  EXPECT_EQ(winspool::tcp_port_device(TcpPortSettings{1, 9100, u"zebra-3", u"10.0.0.9"}),
            (DeviceAddress{"zebra-3", 9100}));
  EXPECT_EQ(winspool::tcp_port_device(TcpPortSettings{1, 9101, u"", u"10.0.0.9"}), (DeviceAddress{"10.0.0.9", 9101}));
  EXPECT_EQ(winspool::tcp_port_device(TcpPortSettings{2, 515, u"host", u""}), std::nullopt);  // LPR
  EXPECT_EQ(winspool::tcp_port_device(TcpPortSettings{1, 0, u"host", u""}), std::nullopt);
  EXPECT_EQ(winspool::tcp_port_device(TcpPortSettings{1, 70000, u"host", u""}), std::nullopt);
  EXPECT_EQ(winspool::tcp_port_device(TcpPortSettings{1, 9100, u"", u""}), std::nullopt);
}

}  // namespace
}  // namespace tph
