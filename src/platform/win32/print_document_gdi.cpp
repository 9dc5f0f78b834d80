#include <windows.h>
#include <winspool.h>

#include "platform/win32/winspool_print_system.h"
#include "platform/print_document.h"
#include "platform/win32/last_error.h"
#include "platform/win32/one_copy_devmode.h"
#include "platform/win32/win_handles.h"
#include "support/text_conversion.h"

namespace tph {
namespace {

// One document on a GDI printer device context: CreateDCW, GetDeviceCaps,
// StartDocW, StartPage / StretchDIBits / EndPage per page, EndDoc; AbortDoc
// when a started document is dropped, DeleteDC always.
class GdiPrintDocument final : public PrintDocument {
 public:
  ~GdiPrintDocument() override {
    if (started_ && !finished_) AbortDoc(dc_.get());
    dc_.reset();  // DeleteDC
  }

  OsStatus open(const std::string& queue) override {
    const std::u16string name = utf8_to_wide(queue);
    win::PrinterHandle printer;
    if (!OpenPrinterW(const_cast<wchar_t*>(win::wide(name)), printer.out(), nullptr)) return win::last_error_status();
    win::OneCopyDevmode devmode;
    if (OsStatus s = devmode.read(printer.get(), name); !s.ok()) return s.error();
    dc_.reset(CreateDCW(nullptr, win::wide(name), nullptr, devmode.get()));
    if (!dc_) return win::last_error_status();
    const DEVMODEW* dm = devmode.get();
    if (dm->dmFields & DM_FORMNAME) {
      size_t n = 0;
      while (n < CCHFORMNAME && dm->dmFormName[n] != L'\0') ++n;
      form_name_ = wide_to_utf8(std::u16string(reinterpret_cast<const char16_t*>(dm->dmFormName), n));
    }
    return OsStatus::Ok();
  }

  DocumentGeometry geometry() override {
    DocumentGeometry g;
    if (const int x = GetDeviceCaps(dc_.get(), LOGPIXELSX); x > 0) g.dpi_x = x;
    if (const int y = GetDeviceCaps(dc_.get(), LOGPIXELSY); y > 0) g.dpi_y = y;
    g.printable_width = GetDeviceCaps(dc_.get(), HORZRES);
    g.printable_height = GetDeviceCaps(dc_.get(), VERTRES);
    g.page_width = GetDeviceCaps(dc_.get(), PHYSICALWIDTH);
    g.page_height = GetDeviceCaps(dc_.get(), PHYSICALHEIGHT);
    g.printable_left = GetDeviceCaps(dc_.get(), PHYSICALOFFSETX);
    g.printable_top = GetDeviceCaps(dc_.get(), PHYSICALOFFSETY);
    // GDI measures in device pixels; the sheet in hundredths of a millimetre
    // follows from the resolution.
    auto hmm = [](int px, const std::optional<int>& dpi) {
      return dpi ? static_cast<int>((int64_t{px} * 2540 + *dpi / 2) / *dpi) : 0;
    };
    g.media.name = form_name_;
    g.media.width_hmm = hmm(g.page_width, g.dpi_x);
    g.media.height_hmm = hmm(g.page_height, g.dpi_y);
    g.media.left_hmm = hmm(g.printable_left, g.dpi_x);
    g.media.top_hmm = hmm(g.printable_top, g.dpi_y);
    g.media.right_hmm = hmm(g.page_width - g.printable_left - g.printable_width, g.dpi_x);
    g.media.bottom_hmm = hmm(g.page_height - g.printable_top - g.printable_height, g.dpi_y);
    return g;
  }

  OsResult<uint32_t> start(const std::string& title) override {
    const std::u16string wide_title = utf8_to_wide(title);
    DOCINFOW info{};
    info.cbSize = sizeof(DOCINFOW);
    info.lpszDocName = win::wide(wide_title);
    const int id = StartDocW(dc_.get(), &info);
    if (id <= 0) return win::last_error_status();
    started_ = true;
    return static_cast<uint32_t>(id);
  }

  PageStatus print_page(const PageRect& where, uint32_t width, uint32_t height, const uint8_t* bgrx) override {
    using Step = PageFailure::Step;
    if (StartPage(dc_.get()) <= 0) return PageFailure{Step::kStart, win::last_error_status()};
    if (OsStatus s = draw(where, width, height, bgrx); !s.ok()) return PageFailure{Step::kDraw, s.error()};
    if (EndPage(dc_.get()) <= 0) return PageFailure{Step::kEnd, win::last_error_status()};
    return PagePrinted{};
  }

  OsStatus finish() override {
    if (EndDoc(dc_.get()) <= 0) return win::last_error_status();
    finished_ = true;
    return OsStatus::Ok();
  }

  // The spooler may hold every page from StartPage on.
  bool anything_sent() const override { return true; }

 private:
  OsStatus draw(const PageRect& where, uint32_t width, uint32_t height, const uint8_t* bgrx) {
    BITMAPINFO bmi{};
    bmi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bmi.bmiHeader.biWidth = static_cast<LONG>(width);
    bmi.bmiHeader.biHeight = -static_cast<LONG>(height);  // rows stored top down
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
    bmi.bmiHeader.biCompression = BI_RGB;
    bmi.bmiHeader.biSizeImage = static_cast<DWORD>(static_cast<uint64_t>(width) * height * 4);
    const int r = StretchDIBits(dc_.get(), where.x, where.y, where.width, where.height, 0, 0, static_cast<int>(width),
                                static_cast<int>(height), bgrx, &bmi, DIB_RGB_COLORS, SRCCOPY);
    if (r == 0 || r == static_cast<int>(GDI_ERROR)) return win::last_error_status();
    return OsStatus::Ok();
  }


  win::DeviceContext dc_;
  std::string form_name_;
  bool started_ = false;
  bool finished_ = false;
};

}  // namespace

std::unique_ptr<PrintDocument> new_gdi_print_document() { return std::make_unique<GdiPrintDocument>(); }

}  // namespace tph
