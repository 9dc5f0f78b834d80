#pragma once
// A print system the host prints through, as one object chosen when the host
// starts (the way a storage library takes its environment): its queues and
// jobs, fresh documents and raw jobs on it, and how messages name it. A build
// may carry more than one; the core never names any of them.

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/print_document.h"
#include "platform/raw_print_job.h"
#include "platform/spooler.h"

namespace tph {

class PrintSystem {
 public:
  virtual ~PrintSystem() = default;
  virtual Spooler& spooler() = 0;
  virtual std::unique_ptr<PrintDocument> new_document() = 0;
  virtual std::unique_ptr<RawPrintJob> new_raw_job() = 0;
  // As messages name it ("CUPS", "Windows").
  virtual std::string display_name() const = 0;
  // The `uri` of every queue it lists ("cups", "winspool").
  virtual std::string queue_uri() const = 0;
};

// A print system a build carries, by name.
struct PrintSystemEntry {
  std::string_view name;
  std::unique_ptr<PrintSystem> (*open)();
};
// This build's print systems; the first is the default. Each build lists
// its own (the table is all a platform folder adds).
std::span<const PrintSystemEntry> print_system_table();

// Their names, in the table's order.
std::vector<std::string_view> print_system_names();
// The named print system, or null for a name this build does not carry.
std::unique_ptr<PrintSystem> open_print_system(std::string_view name);

}  // namespace tph
