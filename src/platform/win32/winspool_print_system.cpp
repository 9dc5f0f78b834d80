#include "platform/win32/winspool_print_system.h"

namespace tph {
namespace {

class WinspoolPrintSystem final : public PrintSystem {
 public:
  Spooler& spooler() override { return *spooler_; }
  std::unique_ptr<PrintDocument> new_document() override { return new_gdi_print_document(); }
  std::unique_ptr<RawPrintJob> new_raw_job() override { return new_winspool_raw_print_job(); }
  std::string display_name() const override { return "Windows"; }
  std::string queue_uri() const override { return "winspool"; }

 private:
  std::unique_ptr<Spooler> spooler_ = new_winspool_spooler();
};

}  // namespace

std::unique_ptr<PrintSystem> open_winspool_print_system() { return std::make_unique<WinspoolPrintSystem>(); }

}  // namespace tph
