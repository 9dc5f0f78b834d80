#include <windows.h>

#include "platform/win32/handle_write.h"

#include "platform/channel.h"
#include "platform/system_error.h"

namespace tph {
namespace {

// The standard handles in binary: ReadFile and WriteFile, never the C
// runtime's text mode, which would mangle length prefixes.
class Win32Channel final : public Channel {
 public:
  Win32Channel()
      : in_(GetStdHandle(STD_INPUT_HANDLE)), out_(GetStdHandle(STD_OUTPUT_HANDLE)), err_(GetStdHandle(STD_ERROR_HANDLE)) {}

  OsResult<size_t> read(uint8_t* buffer, size_t capacity) override {
    DWORD want = capacity > 0x40000000 ? 0x40000000 : static_cast<DWORD>(capacity);
    DWORD got = 0;
    if (!ReadFile(in_, buffer, want, &got, nullptr)) {
      DWORD e = GetLastError();
      if (e == ERROR_BROKEN_PIPE || e == ERROR_HANDLE_EOF) return size_t{0};  // writer closed: end of input
      return OsStatus::Fail(e, describe_system_error(e));
    }
    return static_cast<size_t>(got);
  }

  OsStatus write_all(const uint8_t* data, size_t size) override { return win::write_all_handle(out_, data, size); }

  // Nothing is buffered in the process. FlushFileBuffers on a pipe would wait
  // until the browser has read everything, so it is not called.
  OsStatus flush() override { return OsStatus::Ok(); }

  void write_diagnostic(std::string_view line) override {
    DWORD written = 0;
    WriteFile(err_, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  }

 private:
  HANDLE in_;
  HANDLE out_;
  HANDLE err_;
};

}  // namespace

std::unique_ptr<Channel> open_standard_channel() { return std::make_unique<Win32Channel>(); }

}  // namespace tph
