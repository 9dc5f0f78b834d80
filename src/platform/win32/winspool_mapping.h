#pragma once
// What the Windows spooler reports, mapped to the spooler port's portable
// results. Pure functions, without <windows.h>, so that every build compiles
// and tests them.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/spooler.h"

namespace tph::winspool {

inline constexpr uint32_t kTroubleMask = 0x00FC18FF;
inline constexpr uint32_t kBusyMask = 0x0001E700;
inline constexpr uint32_t kPrinterStatusPaused = 0x1;
inline constexpr uint32_t kPrinterStatusOffline = 0x80;

// PRINTER_ATTRIBUTE_WORK_OFFLINE: somebody chose "Use Printer Offline"; jobs
// wait in the queue until the printer is used online again.
inline constexpr uint32_t kPrinterAttributeWorkOffline = 0x400;

// PRINTER_ATTRIBUTE_RAW_ONLY: the printer's driver takes RAW jobs only.
inline constexpr uint32_t kPrinterAttributeRawOnly = 0x1000;

inline constexpr uint32_t kJobStatusPrinted = 0x80;
inline constexpr uint32_t kJobStatusDeleted = 0x100;
inline constexpr uint32_t kJobStatusComplete = 0x1000;
inline constexpr uint32_t kErrorInvalidParameter = 87;  // GetJobW: no such job

// The longest queue name looked at, in UTF-16 code units with its NUL.
inline constexpr size_t kMaxNameUnits = 32768;

// One queue name as EnumPrintersW returned it.
struct RawQueueName {
  bool is_null = false;    // the record had no name pointer
  bool terminated = true;  // a NUL was found within the first 32,768 code units
  std::u16string units;    // the code units before the NUL (or all 32,768)
};

// The outcome of OpenPrinterW + GetJobW (level 1) for one job.
struct JobQuery {
  bool opened = false;      // the queue could be opened
  bool found = false;       // the job information was read
  uint32_t status = 0;      // the job's status bits, when found
  uint32_t last_error = 0;  // the error code of the failed query, when not found
  uint64_t submitted_ms = 0;  // when the spooler took the job (Unix ms), when found; 0 where it does not say
};

// What the listing reads of one queue (GetPrinterW level 2).
struct QueueFacts {
  uint32_t status = 0;
  uint32_t attributes = 0;
  std::u16string driver;
  std::u16string comment;
  // The socket the queue's port sends to (a Standard TCP/IP port printing
  // raw), when it is one.
  std::optional<DeviceAddress> device;
};

// A Standard TCP/IP port's settings, as the port monitor keeps them in the
// registry (Protocol 1 is raw, 2 is LPR).
struct TcpPortSettings {
  uint32_t protocol = 0;
  uint32_t port_number = 0;
  std::u16string host_name;
  std::u16string ip_address;
};

// Where a raw Standard TCP/IP port sends: its host name, else its address,
// and its port number; nothing for an LPR port or settings that name none.
std::optional<DeviceAddress> tcp_port_device(const TcpPortSettings& port);

// The portable reasons (kReason...) behind a status word: paused, offline or
// not available, paper out, paper jam, door open; any other trouble bit
// (error, paper problem, no toner, user intervention, ...) is error. A queue
// used offline (its attributes) is offline too.
std::vector<std::string> portable_reasons(uint32_t status, uint32_t attributes = 0);

// The coarse state of a queue from its facts: as the status word says, but a
// queue used offline that would otherwise be idle or printing is offline.
std::string_view queue_state(const QueueFacts& facts);

// Whether the queue takes bytes as they are: its driver takes RAW jobs only,
// or it is Windows's own text-only driver, which passes bytes through.
bool is_raw_queue(const QueueFacts& facts);

// The coarse state from a queue's status word; "unavailable" when the status
// could not be read.
std::string_view queue_state(std::optional<uint32_t> status);

// The listing from the enumerated names, in their order: null and empty names
// skipped, each name converted to UTF-8 (U+FFFD for unpaired surrogates) and
// its facts looked up under that converted name (NUL-terminated UTF-16). A
// name without a terminator makes the whole list invalid.
QueueList queue_list(const std::vector<RawQueueName>& names,
                     const std::function<std::optional<QueueFacts>(const std::u16string&)>& facts_of);

// DELETED wins over PRINTED and COMPLETE; error 87 is "no such job". A job
// the spooler took before the attempt's record was made (`record_created_ms`)
// is another's that got the id: "no such job" too.
JobObservation job_observation(const JobQuery& query, uint64_t record_created_ms);

}  // namespace tph::winspool
