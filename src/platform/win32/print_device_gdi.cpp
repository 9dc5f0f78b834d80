#include <windows.h>

#include "platform/print_device.h"
#include "platform/win32/win_handles.h"

namespace tph {
namespace {

class GdiPrintDevice final : public PrintDevice {
 public:
  bool create_dc(const std::u16string& queue) override {
    dc_.reset(CreateDCW(nullptr, win::wide(queue), nullptr, nullptr));
    if (!dc_) error_ = GetLastError();
    return static_cast<bool>(dc_);
  }
  int device_caps(DeviceCap index) override { return GetDeviceCaps(dc_.get(), static_cast<int>(index)); }
  int start_doc(const std::u16string& title) override {
    DOCINFOW info{};
    info.cbSize = sizeof(DOCINFOW);
    info.lpszDocName = win::wide(title);
    return remember(StartDocW(dc_.get(), &info));
  }
  int start_page() override { return remember(StartPage(dc_.get())); }
  int stretch_dib_bits(int x, int y, int width, int height, int src_width, int src_height,
                       const uint8_t* pixels) override {
    BITMAPINFO bmi{};
    bmi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bmi.bmiHeader.biWidth = src_width;
    bmi.bmiHeader.biHeight = -src_height;  // rows stored top down
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
    bmi.bmiHeader.biCompression = BI_RGB;
    bmi.bmiHeader.biSizeImage = static_cast<DWORD>(static_cast<uint64_t>(src_width) * src_height * 4);
    int r = StretchDIBits(dc_.get(), x, y, width, height, 0, 0, src_width, src_height, pixels, &bmi, DIB_RGB_COLORS,
                          SRCCOPY);
    if (r == 0 || r == static_cast<int>(GDI_ERROR)) error_ = GetLastError();
    return r;
  }
  int end_page() override { return remember(EndPage(dc_.get())); }
  int end_doc() override { return remember(EndDoc(dc_.get())); }
  int abort_doc() override { return AbortDoc(dc_.get()); }
  void delete_dc() override { dc_.reset(); }
  uint32_t last_error() override { return error_; }

 private:
  // The last error is read right after the call that failed.
  int remember(int result) {
    if (result <= 0) error_ = GetLastError();
    return result;
  }

  win::DeviceContext dc_;
  DWORD error_ = 0;
};

}  // namespace

std::unique_ptr<PrintDevice> open_print_device() { return std::make_unique<GdiPrintDevice>(); }

}  // namespace tph
