#include "host/host_main.h"

#include <new>
#include <optional>
#include <string>

#include "support/error_catalogue.h"
#include <algorithm>
#include <chrono>

#include "host/framing.h"
#include "host/inbox.h"
#include "host/response.h"
#include "host/wire.h"
#include "host/host_context.h"
#include "host/request_handler.h"
#include "fleet/fleet_policy.h"

namespace tph {
namespace {

int fatal(Channel& channel, const HostError& error) {
  std::string line = "tavelin-print-host: ";
  line += error.code_name();
  line += '\n';
  channel.write_diagnostic(line);
  return 1;
}

// How often a watch looks at what it watches: an event follows a change
// within this, and an idle watch costs a few requests to the print system
// each time.
constexpr std::chrono::milliseconds kLookEvery{500};

Status send_events(Channel& channel, const WatchEvents& events, const PlatformInfo& info) {
  for (const JobRecord& job : events.jobs) {
    Result<std::string> m = encode_event("job", write_job(job));
    if (!m.ok()) return m.take_error();
    if (Status s = write_message(channel, m.value()); !s.ok()) return s;
  }
  for (const QueueEntry& printer : events.printers) {
    Result<std::string> m = encode_event("printer", write_printer_event(printer, info));
    if (!m.ok()) return m.take_error();
    if (Status s = write_message(channel, m.value()); !s.ok()) return s;
  }
  return Status::Ok();
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
  PrinterVoice voice(ports.devices, ports.clock);
  context.voice = &voice;
  // A station of a fleet claims every attempt in the shared ledger first.
  // A policy that is there but cannot be used keeps the station from
  // printing at all, rather than letting it print alone.
  std::unique_ptr<FleetLink> fleet_link;
  std::unique_ptr<FleetLedger> fleet;
  if (!ports.fleet.policy_error.empty() || ports.fleet.policy) {
    Result<std::optional<FleetPolicy>> policy = ports.fleet.policy_error.empty()
        ? fleet_policy_from(ports.fleet.policy, ports.fleet.machine, ports.fleet.reads_tls_files)
        : Result<std::optional<FleetPolicy>>(errors::make(
              errors::kFleetUnavailable, "The machine's fleet policy cannot be read: " + ports.fleet.policy_error + "."));
    fleet_link = ports.fleet.open(policy.ok() ? policy.value()->tls : FleetTls{});
    if (policy.ok()) {
      fleet = std::make_unique<FleetLedger>(std::move(*policy.value()), *fleet_link, ports.fleet.account);
    } else {
      fleet = std::make_unique<FleetLedger>(policy.take_error(), *fleet_link);
    }
    context.print.fleet = fleet.get();
  }
  // Start-up is done: from here on the lock is held for one message, or one
  // look, at a time.
  release_state(store);

  Inbox inbox(ports.channel);
  using SteadyClock = std::chrono::steady_clock;
  SteadyClock::time_point next_look = SteadyClock::now();
  for (;;) {
    std::optional<std::chrono::milliseconds> wait;
    if (!context.watch.empty()) {
      wait = std::max(std::chrono::milliseconds(0),
                      std::chrono::duration_cast<std::chrono::milliseconds>(next_look - SteadyClock::now()));
    }
    std::optional<Inbox::Message> in = inbox.next(wait);
    if (!in) {
      WatchEvents events = context.watch.look(store, print.spooler(), ports.clock, voice);
      if (Status s = send_events(ports.channel, events, info); !s.ok()) return fatal(ports.channel, s.error());
      if (store.lost) return fatal(ports.channel, errors::make(errors::kStateUnavailable, store.lost_because));
      next_look = SteadyClock::now() + kLookEvery;
      continue;
    }
    if (!in->ok()) return fatal(ports.channel, in->error());
    if (!in->value()) return 0;  // the end of input

    // The request buffer goes with the request: it is not kept while the
    // request is handled or the response written.
    Result<std::string> response = handle_request(std::move(*in->value()), context);
    if (!response.ok()) return fatal(ports.channel, response.error());
    if (Status s = write_message(ports.channel, response.value()); !s.ok()) return fatal(ports.channel, s.error());
    // The request that found the state moved was answered; no other may be
    // served by a host whose lock guards nothing.
    if (store.lost) return fatal(ports.channel, errors::make(errors::kStateUnavailable, store.lost_because));
    // What was just watched is told at once, after the reply.
    if (context.watch.has_new()) next_look = SteadyClock::now();
  }
}

}  // namespace tph
