#pragma once
// The road to a fleet's shared ledger: HTTPS requests to the members of an
// etcd cluster, one at a time, each within a time bound. TLS always: the
// members are trusted through the CA file the machine policy names (on
// Windows, without one, through the machine's certificate store), and the
// station shows its client certificate when the policy names one.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/os_status.h"

namespace tph {

struct FleetTls {
  std::string ca_file;    // PEM; empty: the system's trusted roots
  std::string cert_file;  // PEM client certificate; empty: none
  std::string key_file;   // its PEM key
};

struct HttpAnswer {
  long status = 0;
  std::string body;
};

// The most an answer may hold: a page of the fleet's records, never more.
inline constexpr size_t kMaxFleetAnswerBytes = 8u << 20;

class FleetLink {
 public:
  virtual ~FleetLink() = default;
  // POSTs the JSON `body` to `url` (https://host:port/path), with
  // `authorization` as the Authorization header when not empty. Fails when
  // the member cannot be reached, its certificate is refused, no whole
  // answer came within `bound_ms` (kTimedOut), or the answer exceeds
  // kMaxFleetAnswerBytes (kTooLarge). kRefused only when none of the
  // request can have reached the member. An HTTP error status is an answer.
  // Connections are kept for the next request.
  virtual OsResult<HttpAnswer> post(const std::string& url, const std::string& body,
                                    const std::string& authorization, uint32_t bound_ms) = 0;
};

// Whether this platform's client takes the CA, certificate and key files a
// policy may name (Windows trusts the machine's store and signs in as a user).
bool fleet_link_reads_tls_files();

// This platform's HTTPS client, set up with the policy's TLS material.
std::unique_ptr<FleetLink> open_fleet_link(const FleetTls& tls);

}  // namespace tph
