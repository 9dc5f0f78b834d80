#include "platform/cups/cups_print_system.h"

namespace tph {
namespace {

class CupsPrintSystem final : public PrintSystem {
 public:
  Spooler& spooler() override { return *spooler_; }
  std::unique_ptr<PrintDocument> new_document() override { return new_cups_print_document(); }
  std::unique_ptr<RawPrintJob> new_raw_job() override { return new_cups_raw_print_job(); }
  std::string display_name() const override { return "CUPS"; }
  std::string queue_uri() const override { return "cups"; }

 private:
  std::unique_ptr<Spooler> spooler_ = new_cups_spooler();
};

}  // namespace

std::unique_ptr<PrintSystem> open_cups_print_system() { return std::make_unique<CupsPrintSystem>(); }

}  // namespace tph
