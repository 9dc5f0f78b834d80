#pragma once
// What a request handler may use: the open durable state and the ports of the
// platform. Owned by the main sequence; handlers borrow it for one request.

#include <functional>
#include <memory>

#include "platform/clock.h"
#include "platform/platform_info.h"
#include "platform/print_device.h"
#include "platform/spooler.h"
#include "state/state_store.h"

namespace tph {

struct HostContext {
  StateStore& state;
  Clock& clock;
  Spooler& spooler;
  std::function<std::unique_ptr<PrintDevice>()> open_device;
  const PlatformInfo& info;
};

}  // namespace tph
