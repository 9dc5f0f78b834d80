#include <cerrno>
#include <csignal>
#include <unistd.h>

#include "platform/channel.h"
#include "platform/posix/fd_write.h"
#include "platform/system_error.h"

namespace tph {
namespace {

class PosixChannel final : public Channel {
 public:
  OsResult<size_t> read(uint8_t* buffer, size_t capacity) override {
    for (;;) {
      ssize_t n = ::read(STDIN_FILENO, buffer, capacity);
      if (n >= 0) return static_cast<size_t>(n);
      if (errno == EINTR) continue;
      return OsStatus::Fail(errno, describe_system_error(errno));
    }
  }

  OsStatus write_all(const uint8_t* data, size_t size) override {
    return posix::write_all_fd(STDOUT_FILENO, data, size);
  }

  // Nothing is buffered in the process: every write goes straight to the fd.
  OsStatus flush() override { return OsStatus::Ok(); }

  void write_diagnostic(std::string_view line) override {
    (void)!::write(STDERR_FILENO, line.data(), line.size());
  }
};

}  // namespace

std::unique_ptr<Channel> open_standard_channel() {
  // A browser that closes our output must turn into a failed write, not a
  // silent death by SIGPIPE.
  std::signal(SIGPIPE, SIG_IGN);
  return std::make_unique<PosixChannel>();
}

}  // namespace tph
