#include "platform/cups/cups_scheduler.h"

#include <sys/socket.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/write_all.h"

namespace tph::cups {

// One thread a connection that sleeps until the exchange's deadline and then
// shuts the connection's socket down, so that the read or write libcups is
// in fails at once. libcups may connect again and retry (a destination list
// is several requests): past the deadline every socket the connection opens
// is shut down too, until the exchange is over. It acts only while armed,
// and disarming waits for it, so it never touches a connection that is gone.
class Scheduler::Watchdog {
 public:
  explicit Watchdog(std::atomic<bool>& fired) : fired_(fired), thread_([this] { run(); }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }
  void arm(http_t* http, std::chrono::steady_clock::time_point deadline) {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      http_ = http;
      deadline_ = deadline;
    }
    wake_.notify_one();
  }
  void disarm() { arm(nullptr, kNever); }

 private:
  static constexpr std::chrono::steady_clock::time_point kNever = std::chrono::steady_clock::time_point::max();
  static constexpr std::chrono::milliseconds kAfterDeadline{20};

  void run() {
    std::unique_lock<std::mutex> hold(mutex_);
    while (!stop_) {
      if (!http_ || deadline_ == kNever) {
        wake_.wait(hold);
      } else if (std::chrono::steady_clock::now() >= deadline_) {
        fired_ = true;
        const int fd = httpGetFd(http_);
        if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
        wake_.wait_for(hold, kAfterDeadline);
      } else {
        wake_.wait_until(hold, deadline_);
      }
    }
  }

  std::atomic<bool>& fired_;
  std::mutex mutex_;
  std::condition_variable wake_;
  http_t* http_ = nullptr;
  std::chrono::steady_clock::time_point deadline_ = kNever;
  bool stop_ = false;
  std::thread thread_;  // last: it starts once the rest is set up
};

Scheduler::Scheduler(int timeout_seconds) : timeout_seconds_(timeout_seconds) {}
Scheduler::~Scheduler() { close(); }

void Scheduler::idle() {
  if (watchdog_) watchdog_->disarm();
}

void Scheduler::close() {
  if (watchdog_) watchdog_->disarm();
  if (http_) httpClose(http_);
  http_ = nullptr;
}

int Scheduler::keep_waiting(http_t*, void* self) {
  auto* scheduler = static_cast<Scheduler*>(self);
  if (std::chrono::steady_clock::now() < scheduler->deadline_) return 1;
  scheduler->timed_out_ = true;
  return 0;  // give up: the call fails with ETIMEDOUT
}

http_t* Scheduler::http() {
  deadline_ = timed_out_ ? std::chrono::steady_clock::time_point() : std::chrono::steady_clock::now() +
                                                                      std::chrono::seconds(timeout_seconds_);
  if (http_) {
    if (!watchdog_) watchdog_ = std::make_unique<Watchdog>(timed_out_);
    watchdog_->arm(http_, deadline_);
  }
  return http_;
}

OsStatus Scheduler::connect() {
  close();
  timed_out_ = false;
  errno = 0;
  http_ = httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), /*blocking=*/1,
                       timeout_seconds_ * 1000, nullptr);
  if (!http_) {
    const int e = errno;
    std::string text = "Cannot connect to the CUPS scheduler";
    if (e != 0) text += std::string(": ") + std::strerror(e);
    return OsStatus::Fail(static_cast<uint32_t>(e), text + " (os error " + std::to_string(e) + ")");
  }
  httpSetTimeout(http_, 1.0, &Scheduler::keep_waiting, this);
  return OsStatus::Ok();
}

OsError Scheduler::failure(std::string_view what) const {
  const ipp_status_t status = cupsLastError();
  std::string text;
  const char* own = cupsLastErrorString();
  if (timed_out_) {
    text = std::string(what) + " timed out: the CUPS scheduler did not answer within " +
           std::to_string(timeout_seconds_) + " s";
  } else if (own && *own && std::strcmp(own, "Success") != 0) {
    text = own;
  } else if (http_ && httpError(http_) != 0) {
    text = std::string(what) + " failed: " + std::strerror(httpError(http_));
  } else {
    text = std::string(what) + " failed";
  }
  char code[32];
  std::snprintf(code, sizeof code, " (IPP status 0x%04x)", static_cast<unsigned>(status));
  const OsErrorKind kind = timed_out_                                 ? OsErrorKind::kTimedOut
                           : status == IPP_STATUS_ERROR_NOT_FOUND ? OsErrorKind::kNotFound
                                                                  : OsErrorKind::kOther;
  return OsStatus::Fail(static_cast<uint32_t>(status), text + code, kind);
}

QueueName split_queue_name(const std::string& queue) {
  const size_t slash = queue.find('/');
  if (slash == std::string::npos) return {queue, ""};
  return {queue.substr(0, slash), queue.substr(slash + 1)};
}

namespace {

// A request of `op` addressed to the queue `name` on this scheduler; `queue`
// is the name as the caller gave it, for the message when it is no name.
OsResult<IppMessage> queue_request(ipp_op_t op, const std::string& name, const std::string& queue) {
  IppMessage request(ippNewRequest(op));
  char uri[HTTP_MAX_URI];
  if (httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", ippPort(), "/printers/%s",
                       name.c_str()) != HTTP_URI_STATUS_OK) {
    return OsStatus::Fail(IPP_STATUS_ERROR_NOT_FOUND, "No such queue: \"" + queue + "\"", OsErrorKind::kNotFound);
  }
  ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
  return request;
}

}  // namespace

OsResult<IppMessage> queue_attributes(Scheduler& scheduler, const std::string& queue,
                                      std::initializer_list<const char*> names) {
  const QueueName q = split_queue_name(queue);
  if (q.name.empty() || (queue.find('/') != std::string::npos && q.instance.empty())) {
    return OsStatus::Fail(IPP_STATUS_ERROR_NOT_FOUND, "No such queue: \"" + queue + "\"", OsErrorKind::kNotFound);
  }
  if (!q.instance.empty()) {
    cups_dest_t* dests = nullptr;
    const int count = cupsGetDests2(scheduler.http(), &dests);
    const bool known = cupsGetDest(q.name.c_str(), q.instance.c_str(), count, dests) != nullptr;
    cupsFreeDests(count, dests);
    if (!known) {
      if (scheduler.timed_out()) return scheduler.failure("Looking up the queue");
      return OsStatus::Fail(IPP_STATUS_ERROR_NOT_FOUND, "No such queue instance: \"" + queue + "\"",
                            OsErrorKind::kNotFound);
    }
  }
  OsResult<IppMessage> built = queue_request(IPP_OP_GET_PRINTER_ATTRIBUTES, q.name, queue);
  if (!built.ok()) return built.error();
  IppMessage request = std::move(built.value());
  const std::vector<const char*> wanted(names);
  ippAddStrings(request.get(), IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                static_cast<int>(wanted.size()), nullptr, wanted.data());
  // cupsDoRequest takes the request and frees it.
  IppMessage response(cupsDoRequest(scheduler.http(), request.release(), "/"));
  if (!response || cupsLastError() > IPP_STATUS_OK_EVENTS_COMPLETE) return scheduler.failure("Looking up the queue");
  return response;
}

Job::~Job() {
  scheduler_.close();  // drops an unfinished request
  if (started_ && !finished_) {
    Scheduler canceller(scheduler_.timed_out() ? kCancelAfterTimeoutSeconds : kExchangeTimeoutSeconds);
    if (canceller.connect().ok()) cupsCancelJob2(canceller.http(), queue_.c_str(), id_, 0);
  }
}

OsResult<uint32_t> Job::start(const std::string& queue, const std::string& title, const char* format) {
  queue_ = split_queue_name(queue).name;
  if (OsStatus s = scheduler_.connect(); !s.ok()) return s.error();
  // Create-Job written out rather than cupsCreateJob, which looks the queue
  // up twice more before it asks: the caller has just read the queue.
  OsResult<IppMessage> built = queue_request(IPP_OP_CREATE_JOB, queue_, queue);
  if (!built.ok()) return built.take_error();
  IppMessage request = std::move(built.value());
  ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
  ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, title.c_str());
  ippAddInteger(request.get(), IPP_TAG_JOB, IPP_TAG_INTEGER, "copies", 1);
  if (!uuid_.empty()) ippAddString(request.get(), IPP_TAG_JOB, IPP_TAG_URI, "job-uuid", nullptr, uuid_.c_str());
  IppMessage response(cupsDoRequest(scheduler_.http(), request.release(), "/"));
  ipp_attribute_t* job_id = response ? ippFindAttribute(response.get(), "job-id", IPP_TAG_INTEGER) : nullptr;
  const int id = job_id && cupsLastError() <= IPP_STATUS_OK_EVENTS_COMPLETE ? ippGetInteger(job_id, 0) : 0;
  if (id <= 0) return scheduler_.failure("Creating the job");
  // From here the job exists: unfinished, it is taken back when this ends, so
  // a document that never started is refused for certain.
  id_ = id;
  started_ = true;
  if (cupsStartDocument(scheduler_.http(), queue_.c_str(), id, title.c_str(), format, 1) != HTTP_STATUS_CONTINUE) {
    return scheduler_.failure("Starting the document");
  }
  scheduler_.idle();
  return static_cast<uint32_t>(id);
}

OsStatus Job::write(const uint8_t* data, size_t size) {
  // Pieces of at most 1 MiB, so each write's wait is bounded on its own.
  return write_all_pieces(data, size, 1u << 20, [this](const uint8_t* p, size_t n, size_t& written) -> OsStatus {
    const http_status_t sent = cupsWriteRequestData(scheduler_.http(), reinterpret_cast<const char*>(p), n);
    if (sent != HTTP_STATUS_CONTINUE) return scheduler_.failure("Sending the document");
    scheduler_.idle();
    written = n;  // it writes all or fails
    return OsStatus::Ok();
  });
}

// The document's end written out rather than cupsFinishDocument, whose
// status is the last one libcups kept: when the end of the document cannot
// be written, no response is read and that status is still the job's
// creation, "successful". Here a failed write or no response is a failure.
OsStatus Job::finish() {
  http_t* http = scheduler_.http();
  // The document's last chunk, written here so that its own status is read:
  // libcups would ignore a failure to write it and wait for an answer that
  // cannot come.
  if (httpWrite2(http, "", 0) < 0 || httpError(http) != 0) {
    const int e = httpError(http);
    return OsStatus::Fail(static_cast<uint32_t>(e), std::string("Sending the end of the document failed: ") +
                                                        std::strerror(e ? e : EIO));
  }
  const std::string resource = "/printers/" + queue_;
  IppMessage response(cupsGetResponse(http, resource.c_str()));
  if (!response) {
    if (scheduler_.timed_out()) return scheduler_.failure("Finishing the document");
    const int e = http ? httpError(http) : 0;
    std::string text = "Finishing the document failed: the CUPS scheduler did not acknowledge it";
    if (e != 0) text += std::string(" (") + std::strerror(e) + ")";
    return OsStatus::Fail(static_cast<uint32_t>(e), text);
  }
  if (ippGetStatusCode(response.get()) > IPP_STATUS_OK_EVENTS_COMPLETE) {
    return scheduler_.failure("Finishing the document");
  }
  finished_ = true;
  return OsStatus::Ok();
}

}  // namespace tph::cups
