#pragma once
// A host context over fakes: an in-memory file system, a fixed clock, a fake
// spooler and recording print documents.

#include <memory>
#include <string>
#include <vector>

#include "fakes/fake_clock.h"
#include "fakes/fake_spooler.h"
#include "fakes/memory_file_system.h"
#include "fakes/recording_print_document.h"
#include "fakes/recording_raw_print_job.h"
#include "host/host_context.h"
#include "host/request_handler.h"

namespace tph::testing {

inline const PlatformInfo& test_platform_info() {
  static const PlatformInfo info{"windows", "x86_64", "Windows", "winspool"};
  return info;
}

struct TestHost {
  MemoryFileSystem fs;
  FakeClock clock;
  FakeSpooler spooler;
  // What every document printed through this host records, and how it fails.
  std::shared_ptr<PrintLog> print_log = std::make_shared<PrintLog>();
  std::shared_ptr<RawLog> raw_log = std::make_shared<RawLog>();
  std::unique_ptr<StateStore> store;
  std::unique_ptr<HostContext> context;

  static constexpr const char* kFolder = "/home/user/.local/state/com.tavelin.print";
  static constexpr const char* kLedger = "/home/user/.local/state/com.tavelin.print/ledger.json";

  // Opens the state as the host does at start-up.
  void open() {
    Result<StateStore> opened = open_state(fs, clock);
    if (!opened.ok()) throw std::runtime_error(opened.error().message);
    store = std::make_unique<StateStore>(std::move(opened.value()));
    release_state(*store);  // as the host does once start-up is done
    context = std::make_unique<HostContext>(HostContext{
        PrintContext{*store, clock,
                     [this]() -> std::unique_ptr<PrintDocument> {
                       return std::make_unique<RecordingPrintDocument>(print_log);
                     },
                     test_platform_info(),
                     [this]() -> std::unique_ptr<RawPrintJob> { return std::make_unique<RecordingRawPrintJob>(raw_log); }},
        spooler});
  }
  // Ends the process: the lock is released, memory is gone.
  void close() {
    context.reset();
    store.reset();
  }
  std::string handle(const std::string& body) {
    Result<std::string> r = handle_request(body, *context);
    return r.ok() ? r.value() : "<encoding failure>";
  }
};

}  // namespace tph::testing
