#pragma once
// The page sequence of one printed document on a device context. The label
// printer is written once against this port; every method maps to one
// device call so a recording fake can fail any of them.

#include <cstdint>
#include <memory>
#include <string>

namespace tph {

enum class DeviceCap : int { kHorzRes = 8, kVertRes = 10, kLogPixelsX = 88, kLogPixelsY = 90 };

inline constexpr int kGdiError = -1;  // GDI_ERROR as StretchDIBits returns it

class PrintDevice {
 public:
  virtual ~PrintDevice() = default;
  // Opens a device context on the queue (NUL-terminated UTF-16 name).
  virtual bool create_dc(const std::u16string& queue) = 0;
  virtual int device_caps(DeviceCap index) = 0;
  // Starts one document with this title (NUL-terminated UTF-16); > 0 is the job id.
  virtual int start_doc(const std::u16string& title) = 0;
  virtual int start_page() = 0;
  // Draws a top-down 32-bit BGRX raster of src_width x src_height pixels
  // into the destination rectangle.
  virtual int stretch_dib_bits(int x, int y, int width, int height, int src_width, int src_height,
                               const uint8_t* pixels) = 0;
  virtual int end_page() = 0;
  virtual int end_doc() = 0;
  virtual int abort_doc() = 0;
  virtual void delete_dc() = 0;
  // The calling thread's last error code, read right after a failing call.
  virtual uint32_t last_error() = 0;
};

// A fresh device of this platform's print system, for one document.
std::unique_ptr<PrintDevice> open_print_device();

}  // namespace tph
