// The fleet's HTTPS client on Linux: libcurl (Debian's, with OpenSSL), one
// easy handle kept for the host's life so that its connections, and their
// TLS sessions, serve the next request.

#include <curl/curl.h>

#include <mutex>

#include "platform/fleet_link.h"

namespace tph {
namespace {

struct EasyDeleter {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct ListDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
using Easy = std::unique_ptr<CURL, EasyDeleter>;
using HeaderList = std::unique_ptr<curl_slist, ListDeleter>;

struct Sink {
  std::string body;
  bool too_large = false;
};

size_t keep(char* data, size_t size, size_t count, void* user) {
  Sink& sink = *static_cast<Sink*>(user);
  const size_t n = size * count;
  if (sink.body.size() + n > kMaxFleetAnswerBytes) {
    sink.too_large = true;
    return 0;  // ends the transfer
  }
  sink.body.append(data, n);
  return n;
}

OsError failure(CURLcode code, const char* detail) {
  std::string text = curl_easy_strerror(code);
  if (detail[0] != '\0') text += std::string(": ") + detail;
  const OsErrorKind kind = code == CURLE_OPERATION_TIMEDOUT ? OsErrorKind::kTimedOut : OsErrorKind::kOther;
  return OsStatus::Fail(static_cast<uint32_t>(code), text, kind);
}

class CurlFleetLink : public FleetLink {
 public:
  explicit CurlFleetLink(FleetTls tls) : tls_(std::move(tls)) {}

  OsResult<HttpAnswer> post(const std::string& url, const std::string& body, const std::string& authorization,
                            uint32_t bound_ms) override {
    if (!easy_) easy_.reset(curl_easy_init());
    CURL* c = easy_.get();
    if (c == nullptr) return OsStatus::Fail(0, "libcurl could not start");
    curl_easy_reset(c);
    HeaderList headers(curl_slist_append(nullptr, "Content-Type: application/json"));
    if (!authorization.empty()) {
      curl_slist* more = curl_slist_append(headers.get(), ("Authorization: " + authorization).c_str());
      if (more == nullptr) return OsStatus::Fail(0, "out of memory");
      headers.release();
      headers.reset(more);
    }
    Sink sink;
    char detail[CURL_ERROR_SIZE] = {0};
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, detail);
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    // TLS always: a policy that names http:// is refused before this, and
    // no redirect may lead elsewhere.
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(bound_ms));
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(bound_ms));
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, keep);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!tls_.ca_file.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, tls_.ca_file.c_str());
    if (!tls_.cert_file.empty()) {
      curl_easy_setopt(c, CURLOPT_SSLCERT, tls_.cert_file.c_str());
      curl_easy_setopt(c, CURLOPT_SSLKEY, tls_.key_file.c_str());
    }
    const CURLcode code = curl_easy_perform(c);
    if (sink.too_large) return OsStatus::Fail(0, "the answer is too large", OsErrorKind::kTooLarge);
    if (code != CURLE_OK) {
      OsError e = failure(code, detail);
      // Not one byte of the request went out (no connection, or its TLS
      // handshake failed or hung): the member cannot have it.
      long sent = 0;
      if (curl_easy_getinfo(c, CURLINFO_REQUEST_SIZE, &sent) == CURLE_OK && sent == 0) e.kind = OsErrorKind::kRefused;
      return e;
    }
    HttpAnswer answer;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &answer.status);
    answer.body = std::move(sink.body);
    return answer;
  }

 private:
  FleetTls tls_;
  Easy easy_;
};

}  // namespace

bool fleet_link_reads_tls_files() { return true; }

std::unique_ptr<FleetLink> open_fleet_link(const FleetTls& tls) {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  return std::make_unique<CurlFleetLink>(tls);
}

}  // namespace tph
