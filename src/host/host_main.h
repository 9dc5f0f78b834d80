#pragma once

#include "platform/channel.h"
#include "platform/clock.h"
#include "platform/device_link.h"
#include "platform/file_system.h"
#include "platform/platform_info.h"
#include "platform/print_system.h"

namespace tph {

struct HostPorts {
  Channel& channel;
  FileSystem& files;
  Clock& clock;
  PrintSystem& print_system;
  const PlatformInfo& platform;
  DeviceLink& devices;
};

// The whole life of the host process: open the durable state, serve requests
// until the input ends, and between them tell the port what it watches. Returns the exit status: 0 at a
// normal end of input, 1 after a fatal error (whose code went to stderr).
int run_host(HostPorts ports);

}  // namespace tph
