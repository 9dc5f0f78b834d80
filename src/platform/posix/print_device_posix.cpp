#include <cerrno>

#include "platform/print_device.h"

namespace tph {
namespace {

// No print system is wired up on Linux yet: every queue is unavailable, which
// the attempt records as FAILED, truthfully.
class NoPrintDevice final : public PrintDevice {
 public:
  bool create_dc(const std::u16string&) override { return false; }
  int device_caps(DeviceCap) override { return 0; }
  int start_doc(const std::u16string&) override { return 0; }
  int start_page() override { return 0; }
  int stretch_dib_bits(int, int, int, int, int, int, const uint8_t*) override { return 0; }
  int end_page() override { return 0; }
  int end_doc() override { return 0; }
  int abort_doc() override { return 0; }
  void delete_dc() override {}
  uint32_t last_error() override { return ENODEV; }
};

}  // namespace

std::unique_ptr<PrintDevice> open_print_device() { return std::make_unique<NoPrintDevice>(); }

}  // namespace tph
