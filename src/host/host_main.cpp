#include "host/host_main.h"

#include <new>
#include <optional>
#include <string>

#include "support/error_catalogue.h"
#include "host/framing.h"
#include "host/host_context.h"
#include "host/request_handler.h"

namespace tph {
namespace {

int fatal(Channel& channel, const HostError& error) {
  std::string line = "tavelin-print-host: ";
  line += error.code_name();
  line += '\n';
  channel.write_diagnostic(line);
  return 1;
}

}  // namespace

int run_host(HostPorts ports) {
  // Start-up works in memory proportional to the ledger file, which is
  // bounded; memory that still cannot be had is a start-up failure like any
  // other, reported on its line, never an abort.
  std::optional<Result<StateStore>> attempt;
  try {
    attempt.emplace(open_state(ports.files, ports.clock));
  } catch (const std::bad_alloc&) {
    return fatal(ports.channel, errors::with_description(errors::kStateUnavailable, errors::kPfxReadState,
                                                         "not enough memory for the ledger"));
  }
  Result<StateStore>& opened = *attempt;
  if (!opened.ok()) return fatal(ports.channel, opened.error());
  StateStore& store = opened.value();
  // Messages name the print system the host was started with.
  PlatformInfo info = ports.platform;
  info.print_system = ports.print_system.display_name();
  info.queue_uri = ports.print_system.queue_uri();
  PrintSystem& print = ports.print_system;
  HostContext context{PrintContext{store, ports.clock, [&print] { return print.new_document(); }, info,
                                   [&print] { return print.new_raw_job(); }},
                      print.spooler()};

  for (;;) {
    Result<std::optional<std::string>> in = read_message(ports.channel);
    if (!in.ok()) return fatal(ports.channel, in.error());
    if (!in.value()) return 0;  // the end of input

    // The request buffer goes with the request: it is not kept while the
    // request is handled or the response written.
    Result<std::string> response = handle_request(std::move(*in.value()), context);
    if (!response.ok()) return fatal(ports.channel, response.error());
    if (Status s = write_message(ports.channel, response.value()); !s.ok()) return fatal(ports.channel, s.error());
    // The request that found the state moved was answered; no other may be
    // served by a host whose lock guards nothing.
    if (store.lost) return fatal(ports.channel, errors::make(errors::kStateUnavailable, store.lost_because));
  }
}

}  // namespace tph
