#pragma once
// The last CUPS failure of this thread as a port status.

#include <cups/cups.h>

#include <string>

#include "platform/os_status.h"

namespace tph::cups {

// "<CUPS's own text> (IPP status 0x0406)": the text CUPS gives for its last
// error, and the IPP status code that carries it.
inline OsStatus last_failure() {
  const ipp_status_t status = cupsLastError();
  const char* text = cupsLastErrorString();
  char code[32];
  snprintf(code, sizeof code, " (IPP status 0x%04x)", static_cast<unsigned>(status));
  return OsStatus::Fail(static_cast<uint32_t>(status), std::string(text ? text : ippErrorString(status)) + code,
                        status == IPP_STATUS_ERROR_NOT_FOUND);
}

}  // namespace tph::cups
