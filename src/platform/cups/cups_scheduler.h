#pragma once
// Every exchange with the CUPS scheduler goes through a connection of our
// own whose waits are bounded: a scheduler that is stopped or wedged must
// make a call fail within a known time, never hang the host (and with it,
// through the state lock, every other print host of the user).

#include <cups/cups.h>

#include <atomic>
#include <chrono>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

#include "platform/os_status.h"

namespace tph::cups {

// The longest one exchange may wait: connecting, one request's answer, or
// one write of document data that the scheduler does not take.
inline constexpr int kExchangeTimeoutSeconds = 30;
// The longest the cancel of a job left unfinished may wait, when the
// exchange before it already timed out: the job must not stay held for
// ever, nor the answer wait another whole exchange.
inline constexpr int kCancelAfterTimeoutSeconds = 3;

class Scheduler {
 public:
  explicit Scheduler(int timeout_seconds = kExchangeTimeoutSeconds);
  ~Scheduler();
  Scheduler(const Scheduler&) = delete;
  Scheduler& operator=(const Scheduler&) = delete;

  OsStatus connect();
  // The connection, for one exchange: each use starts the exchange's own
  // time. Once an exchange timed out, the scheduler is taken as stopped and
  // every later use fails at once rather than wait again.
  http_t* http();
  // The exchange is over: the time between exchanges (a page being made,
  // say) counts against no deadline.
  void idle();
  // Drops the connection, and with it any request still unfinished on it.
  void close();
  bool timed_out() const { return timed_out_.load(); }
  // The failure of the last call on this connection, as a description that
  // always says something: CUPS's own text where it has one; otherwise what
  // timed out or which system error ended the exchange.
  OsError failure(std::string_view what) const;

 private:
  class Watchdog;
  static int keep_waiting(http_t* http, void* self);

  int timeout_seconds_;
  http_t* http_ = nullptr;
  std::atomic<bool> timed_out_{false};
  // The end of the current exchange. libcups asks keep_waiting() after each
  // second without progress, and one call (a destination list, say) may make
  // several requests: the deadline bounds them together.
  std::chrono::steady_clock::time_point deadline_;
  // Ends the exchange at its deadline however the bytes arrive: a scheduler
  // that answers a byte every half second never leaves a second of silence
  // for keep_waiting() to act on.
  std::unique_ptr<Watchdog> watchdog_;
};

// "name" or "name/instance", as CUPS names an instance.
struct QueueName {
  std::string name;
  std::string instance;
};
QueueName split_queue_name(const std::string& queue);

struct IppDeleter {
  void operator()(ipp_t* p) const { ippDelete(p); }
};
using IppMessage = std::unique_ptr<ipp_t, IppDeleter>;

// The attributes `names` of the queue a name stands for, asked in one
// Get-Printer-Attributes request: a label costs this, the job's creation and
// its document, and no more. A name with an instance must name an instance
// that exists: CUPS would otherwise hand out the base queue under any
// instance name, printing where the caller did not ask. A queue that does
// not exist fails as kNotFound.
OsResult<IppMessage> queue_attributes(Scheduler& scheduler, const std::string& queue,
                                      std::initializer_list<const char*> names);

// One job with one document on a queue, on a connection of its own. The job
// is created saying that the print system makes one copy: the document
// carries every page and repeat itself, and a queue default of more copies
// must not print a label twice. A started job that is not finished is
// dropped with its connection and cancelled; when the scheduler stopped
// answering, the cancel waits kCancelAfterTimeoutSeconds at most.
class Job {
 public:
  Job() = default;
  ~Job();
  Job(const Job&) = delete;
  Job& operator=(const Job&) = delete;

  // Creates the job and starts its document in `format`: the scheduler's
  // job number. A failure leaves nothing queued.
  OsResult<uint32_t> start(const std::string& queue, const std::string& title, const char* format);
  // The uuid the job is created with; without one CUPS makes its own.
  void set_uuid(const std::string& uuid) { uuid_ = uuid; }
  OsStatus write(const uint8_t* data, size_t size);
  OsStatus finish();

 private:
  Scheduler scheduler_;
  std::string queue_;
  std::string uuid_;
  int id_ = 0;
  bool started_ = false;
  bool finished_ = false;
};

}  // namespace tph::cups
