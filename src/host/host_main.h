#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/channel.h"
#include "platform/clock.h"
#include "platform/device_link.h"
#include "platform/file_system.h"
#include "platform/fleet_link.h"
#include "platform/machine_policy.h"
#include "platform/platform_info.h"
#include "platform/print_system.h"

namespace tph {

// What joins a station to a fleet: the machine's policy (nothing: this
// station prints alone), or why it could not be read; the names a claim
// carries; and the way to the fleet's members.
struct FleetPorts {
  std::optional<PolicyValues> policy;
  std::string policy_error;
  std::string machine;
  std::string account;
  std::function<std::unique_ptr<FleetLink>(const FleetTls&)> open;
  bool reads_tls_files = true;
};

struct HostPorts {
  Channel& channel;
  FileSystem& files;
  Clock& clock;
  PrintSystem& print_system;
  const PlatformInfo& platform;
  DeviceLink& devices;
  FleetPorts fleet{};
};

// The whole life of the host process: open the durable state, serve requests
// until the input ends, and between them tell the port what it watches. Returns the exit status: 0 at a
// normal end of input, 1 after a fatal error (whose code went to stderr).
int run_host(HostPorts ports);

}  // namespace tph
