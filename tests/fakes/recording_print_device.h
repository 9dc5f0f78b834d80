#pragma once
// A print device that records every call and can fail any of them, at a
// chosen occurrence (for example the second StartPage).

#include <map>
#include <string>
#include <vector>

#include "platform/print_device.h"
#include "support/text_conversion.h"

namespace tph::testing {

class RecordingPrintDevice final : public PrintDevice {
 public:
  // Device values.
  int log_pixels_x = 600, log_pixels_y = 600, horz_res = 4800, vert_res = 6600;
  int job_id = 42;
  uint32_t error_code = 1804;
  // Call name -> the occurrence (1-based) that fails; 0 means never.
  std::map<std::string, int> fail_on;
  std::vector<std::string> calls;
  std::string device_name, document_title;
  int drawn_x = 0, drawn_y = 0, drawn_w = 0, drawn_h = 0;

  bool create_dc(const std::u16string& queue) override {
    device_name = wide_to_utf8(queue.data(), queue.size() - 1);
    return !failing("CreateDC");
  }
  int device_caps(DeviceCap index) override {
    calls.push_back("GetDeviceCaps(" + std::to_string(static_cast<int>(index)) + ")");
    switch (index) {
      case DeviceCap::kLogPixelsX: return log_pixels_x;
      case DeviceCap::kLogPixelsY: return log_pixels_y;
      case DeviceCap::kHorzRes: return horz_res;
      case DeviceCap::kVertRes: return vert_res;
    }
    return 0;
  }
  int start_doc(const std::u16string& title) override {
    document_title = wide_to_utf8(title.data(), title.size() - 1);
    return failing("StartDoc") ? 0 : job_id;
  }
  int start_page() override { return failing("StartPage") ? 0 : 1; }
  int stretch_dib_bits(int x, int y, int w, int h, int, int, const uint8_t*) override {
    drawn_x = x, drawn_y = y, drawn_w = w, drawn_h = h;
    return failing("StretchDIBits") ? kGdiError : h;
  }
  int end_page() override { return failing("EndPage") ? -1 : 1; }
  int end_doc() override { return failing("EndDoc") ? 0 : 1; }
  int abort_doc() override { return failing("AbortDoc") ? 0 : 1; }
  void delete_dc() override { calls.push_back("DeleteDC"); }
  uint32_t last_error() override { return error_code; }

  // The calls without GetDeviceCaps, joined by spaces: the page sequence.
  std::string sequence() const {
    std::string s;
    for (const auto& c : calls) {
      if (c.rfind("GetDeviceCaps", 0) == 0) continue;
      if (!s.empty()) s += ' ';
      s += c;
    }
    return s;
  }

 private:
  bool failing(const std::string& call) {
    calls.push_back(call);
    int& count = counts_[call];
    ++count;
    auto it = fail_on.find(call);
    return it != fail_on.end() && it->second == count;
  }
  std::map<std::string, int> counts_;
};

}  // namespace tph::testing
