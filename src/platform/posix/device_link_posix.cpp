#include "platform/device_link.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/system_error.h"

namespace tph {
namespace {

using Clock = std::chrono::steady_clock;

// A printer that closes early must not raise SIGPIPE (the host ignores it
// too; this keeps the link safe on its own).
#ifdef MSG_NOSIGNAL
constexpr int kNoSignal = MSG_NOSIGNAL;
#else
constexpr int kNoSignal = 0;
#endif

class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

class AddressList {
 public:
  ~AddressList() {
    if (list_) ::freeaddrinfo(list_);
  }
  addrinfo** out() { return &list_; }
  const addrinfo* get() const { return list_; }

 private:
  addrinfo* list_ = nullptr;
};

OsError timed_out() { return OsStatus::Fail(ETIMEDOUT, "the printer did not answer in time", OsErrorKind::kTimedOut); }

// Milliseconds left before the deadline, or -1 once it passed.
int left_ms(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : -1;
}

// Waits for `events` on the socket until the deadline.
bool wait_for(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    const int ms = left_ms(deadline);
    if (ms < 0) return false;
    pollfd p{fd, events, 0};
    const int r = ::poll(&p, 1, ms);
    if (r > 0) return true;
    if (r == 0) return false;
    if (errno != EINTR) return false;
  }
}

class PosixDeviceLink final : public DeviceLink {
 public:
  OsResult<std::string> ask(const std::string& host, uint16_t port, std::string_view query, size_t max_bytes,
                            const std::function<bool(std::string_view)>& whole, uint32_t bound_ms) override {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(bound_ms);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    // A name is looked up without a bound of its own; printers are named by
    // address or in the local resolver in practice.
    AddressList addresses;
    const std::string service = std::to_string(port);
    if (int e = ::getaddrinfo(host.c_str(), service.c_str(), &hints, addresses.out()); e != 0) {
      return OsStatus::Fail(static_cast<uint32_t>(e), ::gai_strerror(e));
    }
    for (const addrinfo* a = addresses.get(); a; a = a->ai_next) {
      Socket s(::socket(a->ai_family, a->ai_socktype, a->ai_protocol));
      if (s.get() < 0) continue;
      if (::fcntl(s.get(), F_SETFD, FD_CLOEXEC) != 0 ||
          ::fcntl(s.get(), F_SETFL, ::fcntl(s.get(), F_GETFL) | O_NONBLOCK) != 0) {
        continue;
      }
      if (::connect(s.get(), a->ai_addr, a->ai_addrlen) != 0) {
        if (errno != EINPROGRESS) continue;
        if (!wait_for(s.get(), POLLOUT, deadline)) return timed_out();
        int error = 0;
        socklen_t size = sizeof error;
        if (::getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) continue;
      }
      size_t sent = 0;
      while (sent < query.size()) {
        const ssize_t n = ::send(s.get(), query.data() + sent, query.size() - sent, kNoSignal);
        if (n > 0) {
          sent += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
          if (!wait_for(s.get(), POLLOUT, deadline)) return timed_out();
        } else {
          return OsStatus::Fail(static_cast<uint32_t>(errno), describe_system_error(static_cast<uint32_t>(errno)));
        }
      }
      std::string answer;
      char buffer[512];
      while (!whole(answer) && answer.size() < max_bytes) {
        if (!wait_for(s.get(), POLLIN, deadline)) return timed_out();
        const ssize_t n = ::recv(s.get(), buffer, std::min(sizeof buffer, max_bytes - answer.size()), 0);
        if (n > 0) {
          answer.append(buffer, static_cast<size_t>(n));
        } else if (n == 0) {
          break;  // the printer closed: what came is the answer
        } else if (errno != EAGAIN && errno != EINTR) {
          return OsStatus::Fail(static_cast<uint32_t>(errno), describe_system_error(static_cast<uint32_t>(errno)));
        }
      }
      return answer;
    }
    return OsStatus::Fail(ECONNREFUSED, "the printer could not be reached");
  }
};

}  // namespace

DeviceLink& system_device_link() {
  // Never destroyed: a question left at its bound may still be running on
  // its own thread when the process ends.
  static PosixDeviceLink* link = new PosixDeviceLink;
  return *link;
}

}  // namespace tph
