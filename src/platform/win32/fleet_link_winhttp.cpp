// The fleet's HTTPS client on Windows: WinHTTP, part of Windows. The members'
// certificates are checked against the machine's trusted roots, the Windows
// way (an administrator adds a fleet's CA to the machine's store); a client
// certificate is not used here, the policy names an etcd user instead.

#include <windows.h>
#include <winhttp.h>

#include <chrono>
#include <map>
#include <utility>

#include "platform/fleet_link.h"
#include "platform/system_error.h"
#include "support/text_conversion.h"

namespace tph {
namespace {

using SteadyClock = std::chrono::steady_clock;

class Internet {
 public:
  Internet() = default;
  explicit Internet(HINTERNET h) : h_(h) {}
  ~Internet() {
    if (h_ != nullptr) WinHttpCloseHandle(h_);
  }
  Internet(Internet&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
  Internet& operator=(Internet&& o) noexcept {
    if (this != &o) {
      if (h_ != nullptr) WinHttpCloseHandle(h_);
      h_ = std::exchange(o.h_, nullptr);
    }
    return *this;
  }
  Internet(const Internet&) = delete;
  Internet& operator=(const Internet&) = delete;
  HINTERNET get() const { return h_; }

 private:
  HINTERNET h_ = nullptr;
};

OsError last_failure(const char* step) {
  const DWORD e = GetLastError();
  const OsErrorKind kind = e == ERROR_WINHTTP_TIMEOUT ? OsErrorKind::kTimedOut : OsErrorKind::kOther;
  return OsStatus::Fail(e, std::string(step) + ": " + describe_system_error(e), kind);
}

DWORD left_ms(SteadyClock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
  return left > 0 ? static_cast<DWORD>(left) : 1;
}

class WinHttpFleetLink : public FleetLink {
 public:
  OsResult<HttpAnswer> post(const std::string& url, const std::string& body, const std::string& authorization,
                            uint32_t bound_ms) override {
    const SteadyClock::time_point deadline = SteadyClock::now() + std::chrono::milliseconds(bound_ms);
    const std::u16string wide_url = utf8_to_wide(url);
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(reinterpret_cast<const wchar_t*>(wide_url.c_str()), 0, 0, &parts)) {
      return last_failure("the fleet's address");
    }
    // TLS always: the policy's reader refuses http://, and this refuses it again.
    if (parts.nScheme != INTERNET_SCHEME_HTTPS) return OsStatus::Fail(0, "the fleet's address is not https://");
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    const std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);

    if (!session_.get()) {
      session_ = Internet(WinHttpOpen(L"tavelin-print-host", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                      WINHTTP_NO_PROXY_BYPASS, 0));
      if (!session_.get()) return last_failure("WinHttpOpen");
    }
    const std::pair<std::wstring, INTERNET_PORT> where{host, parts.nPort};
    auto found = connections_.find(where);
    if (found == connections_.end()) {
      Internet connection(WinHttpConnect(session_.get(), host.c_str(), parts.nPort, 0));
      if (!connection.get()) return last_failure("WinHttpConnect");
      found = connections_.emplace(where, std::move(connection)).first;
    }
    Internet request(WinHttpOpenRequest(found->second.get(), L"POST", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                        WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
    if (!request.get()) return last_failure("WinHttpOpenRequest");
    // No redirect may take the request (and its token) elsewhere.
    DWORD no_redirects = WINHTTP_DISABLE_REDIRECTS;
    WinHttpSetOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &no_redirects, sizeof no_redirects);
    const int bound = static_cast<int>(left_ms(deadline));
    if (!WinHttpSetTimeouts(request.get(), bound, bound, bound, bound)) return last_failure("WinHttpSetTimeouts");
    // The wait for the answer is bounded too, and set before sending: the
    // TLS handshake of a new connection is held to it (Wine's WinHTTP holds
    // the handshake to this one alone).
    DWORD answer_bound = static_cast<DWORD>(bound);
    WinHttpSetOption(request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &answer_bound, sizeof answer_bound);

    std::wstring headers = L"Content-Type: application/json\r\n";
    if (!authorization.empty()) {
      const std::u16string token = utf8_to_wide(authorization);
      headers += L"Authorization: ";
      headers.append(reinterpret_cast<const wchar_t*>(token.data()), token.size());
      headers += L"\r\n";
    }
    if (!WinHttpSendRequest(request.get(), headers.c_str(), static_cast<DWORD>(headers.size()),
                            const_cast<char*>(body.data()), static_cast<DWORD>(body.size()),
                            static_cast<DWORD>(body.size()), 0)) {
      OsError e = last_failure("WinHttpSendRequest");
      // No connection, or no secure channel: the member cannot have it.
      const DWORD code = e.code;
      if (code == ERROR_WINHTTP_CANNOT_CONNECT || code == ERROR_WINHTTP_NAME_NOT_RESOLVED ||
          code == ERROR_WINHTTP_SECURE_FAILURE || code == ERROR_WINHTTP_SECURE_CHANNEL_ERROR ||
          code == ERROR_WINHTTP_SECURE_CERT_CN_INVALID || code == ERROR_WINHTTP_SECURE_INVALID_CA) {
        e.kind = OsErrorKind::kRefused;
      }
      return e;
    }
    DWORD receive = left_ms(deadline);
    WinHttpSetOption(request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &receive, sizeof receive);
    WinHttpSetOption(request.get(), WINHTTP_OPTION_RECEIVE_TIMEOUT, &receive, sizeof receive);
    if (!WinHttpReceiveResponse(request.get(), nullptr)) return last_failure("WinHttpReceiveResponse");

    HttpAnswer answer;
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
      return last_failure("WinHttpQueryHeaders");
    }
    answer.status = static_cast<long>(status);
    char buffer[16384];
    for (;;) {
      if (SteadyClock::now() >= deadline) {
        return OsStatus::Fail(ERROR_WINHTTP_TIMEOUT, "the fleet did not answer in time", OsErrorKind::kTimedOut);
      }
      DWORD got = 0;
      if (!WinHttpReadData(request.get(), buffer, sizeof buffer, &got)) return last_failure("WinHttpReadData");
      if (got == 0) break;
      if (answer.body.size() + got > kMaxFleetAnswerBytes) {
        return OsStatus::Fail(0, "the answer is too large", OsErrorKind::kTooLarge);
      }
      answer.body.append(buffer, got);
    }
    return answer;
  }

 private:
  Internet session_;
  std::map<std::pair<std::wstring, INTERNET_PORT>, Internet> connections_;
};

}  // namespace

bool fleet_link_reads_tls_files() { return false; }

std::unique_ptr<FleetLink> open_fleet_link(const FleetTls&) { return std::make_unique<WinHttpFleetLink>(); }

}  // namespace tph
