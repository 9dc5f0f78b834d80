// Entry point of tavelin-print-host: the real ports of this platform handed
// to the host, with the print system this build prints through by default.
// Command-line arguments (the browser passes the caller's origin) are
// ignored on purpose.

#include "host/host_main.h"
#include "platform/device_link.h"
#include "platform/fleet_link.h"
#include "platform/machine_policy.h"
#include "platform/process_memory.h"

int main() {
  tph::keep_label_buffers_for_reuse();
  // Kept to the process's end: the reader of standard input may still be
  // waiting on it when the host stops.
  tph::Channel* channel = tph::open_standard_channel().release();
  // The build's first print system; every build lists one.
  std::unique_ptr<tph::PrintSystem> print_system = tph::print_system_table().front().open();
  tph::HostPorts ports{*channel, tph::system_file_system(), tph::system_clock(), *print_system, tph::platform_info(),
                      tph::system_device_link()};
  tph::OsResult<std::optional<tph::PolicyValues>> policy = tph::read_machine_policy();
  if (policy.ok()) {
    ports.fleet.policy = std::move(policy.value());
  } else {
    ports.fleet.policy_error = policy.error().description;
  }
  ports.fleet.machine = tph::machine_name();
  ports.fleet.account = tph::account_name();
  ports.fleet.open = [](const tph::FleetTls& tls) { return tph::open_fleet_link(tls); };
  ports.fleet.reads_tls_files = tph::fleet_link_reads_tls_files();
  return tph::run_host(std::move(ports));
}
