#pragma once
// A connection of its own to the CUPS scheduler, for one job: the job is
// created and its one document streamed on it, so that an unfinished request
// can be dropped by closing it without disturbing CUPS's default connection.

#include <cups/cups.h>

#include <cerrno>

#include "platform/os_status.h"
#include "platform/system_error.h"

namespace tph::cups {

inline http_t* connect_to_scheduler(OsStatus& failure) {
  http_t* http = httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1, 30000, nullptr);
  if (!http) {
    const int e = errno;
    failure = OsStatus::Fail(static_cast<uint32_t>(e), describe_system_error(static_cast<uint32_t>(e)));
  }
  return http;
}

}  // namespace tph::cups
