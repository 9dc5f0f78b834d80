#include "platform/device_link.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>

#include "platform/system_error.h"
#include "support/text_conversion.h"

namespace tph {
namespace {

using Clock = std::chrono::steady_clock;

class Socket {
 public:
  explicit Socket(SOCKET s) : s_(s) {}
  ~Socket() {
    if (s_ != INVALID_SOCKET) closesocket(s_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  SOCKET get() const { return s_; }

 private:
  SOCKET s_;
};

class AddressList {
 public:
  ~AddressList() {
    if (list_) FreeAddrInfoW(list_);
  }
  ADDRINFOW** out() { return &list_; }
  const ADDRINFOW* get() const { return list_; }

 private:
  ADDRINFOW* list_ = nullptr;
};

OsError timed_out() {
  return OsStatus::Fail(WSAETIMEDOUT, "the printer did not answer in time", OsErrorKind::kTimedOut);
}

OsError socket_failure() {
  const auto code = static_cast<uint32_t>(WSAGetLastError());
  return OsStatus::Fail(code, describe_system_error(code));
}

// Waits until the socket is writable (connected, or failed: `failed` says
// which) or readable, until the deadline.
bool wait_for(SOCKET s, bool write, Clock::time_point deadline, bool* failed = nullptr) {
  const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
  if (left <= 0) return false;
  fd_set ready, trouble;
  FD_ZERO(&ready);
  FD_ZERO(&trouble);
  FD_SET(s, &ready);
  FD_SET(s, &trouble);
  timeval tv{static_cast<long>(left / 1000000), static_cast<long>(left % 1000000)};
  const int r = select(0, write ? nullptr : &ready, write ? &ready : nullptr, &trouble, &tv);
  if (r <= 0) return false;
  if (failed) *failed = FD_ISSET(s, &trouble) != 0;
  return true;
}

class WinsockDeviceLink final : public DeviceLink {
 public:
  // Winsock is never cleaned up: a question left at its bound may still be
  // running on its own thread when the process ends.
  WinsockDeviceLink() { started_ = WSAStartup(MAKEWORD(2, 2), &data_) == 0; }

  OsResult<std::string> ask(const std::string& host, uint16_t port, std::string_view query, size_t max_bytes,
                            const std::function<bool(std::string_view)>& whole, uint32_t bound_ms) override {
    if (!started_) return OsStatus::Fail(0, "Windows Sockets could not be started");
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(bound_ms);
    ADDRINFOW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    AddressList addresses;
    const std::u16string name = utf8_to_wide(host);
    const std::u16string service = utf8_to_wide(std::to_string(port));
    if (GetAddrInfoW(reinterpret_cast<const wchar_t*>(name.c_str()), reinterpret_cast<const wchar_t*>(service.c_str()),
                     &hints, addresses.out()) != 0) {
      return socket_failure();
    }
    for (const ADDRINFOW* a = addresses.get(); a; a = a->ai_next) {
      Socket s(socket(a->ai_family, a->ai_socktype, a->ai_protocol));
      if (s.get() == INVALID_SOCKET) continue;
      u_long nonblocking = 1;
      if (ioctlsocket(s.get(), FIONBIO, &nonblocking) != 0) continue;
      if (connect(s.get(), a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0) {
        if (WSAGetLastError() != WSAEWOULDBLOCK) continue;
        bool failed = false;
        if (!wait_for(s.get(), true, deadline, &failed)) return timed_out();
        if (failed) continue;
      }
      size_t sent = 0;
      while (sent < query.size()) {
        const int chunk = static_cast<int>(std::min<size_t>(query.size() - sent, 65536));
        const int n = send(s.get(), query.data() + sent, chunk, 0);
        if (n > 0) {
          sent += static_cast<size_t>(n);
        } else if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
          if (!wait_for(s.get(), true, deadline)) return timed_out();
        } else {
          return socket_failure();
        }
      }
      std::string answer;
      char buffer[512];
      while (!whole(answer) && answer.size() < max_bytes) {
        if (!wait_for(s.get(), false, deadline)) return timed_out();
        const int n = recv(s.get(), buffer, static_cast<int>(std::min(sizeof buffer, max_bytes - answer.size())), 0);
        if (n > 0) {
          answer.append(buffer, static_cast<size_t>(n));
        } else if (n == 0) {
          break;  // the printer closed: what came is the answer
        } else if (WSAGetLastError() != WSAEWOULDBLOCK) {
          return socket_failure();
        }
      }
      return answer;
    }
    return OsStatus::Fail(WSAECONNREFUSED, "the printer could not be reached");
  }

 private:
  WSADATA data_{};
  bool started_ = false;
};

}  // namespace

DeviceLink& system_device_link() {
  static WinsockDeviceLink* link = new WinsockDeviceLink;  // never destroyed, as above
  return *link;
}

}  // namespace tph
