// Entry point of tavelin-print-host: the real ports of this platform handed
// to the host. Command-line arguments (the browser passes the caller's
// origin) are ignored on purpose.

#include "host/host_main.h"
#include "platform/process_memory.h"

int main() {
  tph::keep_label_buffers_for_reuse();
  auto channel = tph::open_standard_channel();
  return tph::run_host(tph::HostPorts{*channel, tph::system_file_system(), tph::system_clock(),
                                      tph::system_spooler(), tph::new_print_document, tph::platform_info(),
                                      tph::new_raw_print_job});
}
