#include <windows.h>
#include <winspool.h>

#include "platform/win32/winspool_print_system.h"
#include "platform/raw_print_job.h"
#include "platform/win32/last_error.h"
#include "platform/write_all.h"
#include "platform/win32/one_copy_devmode.h"
#include "platform/win32/win_handles.h"
#include "support/text_conversion.h"

namespace tph {
namespace {

// A spooler document of datatype RAW: OpenPrinterW, StartDocPrinterW at
// level 1, WritePrinter until every byte is taken, EndDocPrinter; AbortPrinter
// when a started document is dropped, ClosePrinter always.
class WinspoolRawPrintJob final : public RawPrintJob {
 public:
  ~WinspoolRawPrintJob() override {
    if (started_ && !finished_) AbortPrinter(printer_.get());
  }

  OsStatus open(const std::string& queue) override {
    // Opened once for the queue's defaults, then again with them as the
    // job's settings, so the spooler makes one copy of the bytes.
    const std::u16string name = utf8_to_wide(queue);
    auto* device = const_cast<wchar_t*>(win::wide(name));
    if (!OpenPrinterW(device, printer_.out(), nullptr)) return win::last_error_status();
    win::OneCopyDevmode devmode;
    if (OsStatus s = devmode.read(printer_.get(), name); !s.ok()) return s.error();
    PRINTER_DEFAULTSW defaults{nullptr, devmode.get(), PRINTER_ACCESS_USE};
    if (!OpenPrinterW(device, printer_.out(), &defaults)) return win::last_error_status();
    return OsStatus::Ok();
  }

  OsResult<uint32_t> start(const std::string& title) override {
    const std::u16string wide_title = utf8_to_wide(title);
    wchar_t datatype[] = L"RAW";
    DOC_INFO_1W info{};
    info.pDocName = const_cast<wchar_t*>(win::wide(wide_title));
    info.pOutputFile = nullptr;
    info.pDatatype = datatype;
    const DWORD id = StartDocPrinterW(printer_.get(), 1, reinterpret_cast<BYTE*>(&info));
    if (id == 0) return win::last_error_status();
    started_ = true;
    return static_cast<uint32_t>(id);
  }

  OsStatus write(const uint8_t* data, size_t size) override {
    return write_all_pieces(data, size, 0x10000000, [this](const uint8_t* p, size_t n, size_t& written) -> OsStatus {
      DWORD w = 0;
      if (!WritePrinter(printer_.get(), const_cast<uint8_t*>(p), static_cast<DWORD>(n), &w)) {
        return win::last_error_status();
      }
      written = w;
      return OsStatus::Ok();
    });
  }

  OsStatus finish() override {
    if (!EndDocPrinter(printer_.get())) return win::last_error_status();
    finished_ = true;
    return OsStatus::Ok();
  }

 private:
  win::PrinterHandle printer_;
  bool started_ = false;
  bool finished_ = false;
};

}  // namespace

std::unique_ptr<RawPrintJob> new_winspool_raw_print_job() { return std::make_unique<WinspoolRawPrintJob>(); }

}  // namespace tph
