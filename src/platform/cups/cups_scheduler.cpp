#include "platform/cups/cups_scheduler.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/write_all.h"

namespace tph::cups {

Scheduler::~Scheduler() { close(); }

void Scheduler::close() {
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
                                                                      std::chrono::seconds(kExchangeTimeoutSeconds);
  return http_;
}

OsStatus Scheduler::connect() {
  close();
  timed_out_ = false;
  errno = 0;
  http_ = httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), /*blocking=*/1,
                       kExchangeTimeoutSeconds * 1000, nullptr);
  if (!http_) {
    const int e = errno;
    std::string text = "Cannot connect to the CUPS scheduler";
    if (e != 0) text += std::string(": ") + std::strerror(e);
    return OsStatus::Fail(static_cast<uint32_t>(e), text + " (os error " + std::to_string(e) + ")");
  }
  httpSetTimeout(http_, 1.0, &Scheduler::keep_waiting, this);
  return OsStatus::Ok();
}

OsStatus Scheduler::failure(std::string_view what) const {
  const ipp_status_t status = cupsLastError();
  std::string text;
  const char* own = cupsLastErrorString();
  if (timed_out_) {
    text = std::string(what) + " timed out: the CUPS scheduler did not answer within " +
           std::to_string(kExchangeTimeoutSeconds) + " s";
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
  if (!built.ok()) return built;
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
  if (started_ && !finished_ && !scheduler_.timed_out()) {
    Scheduler canceller;
    if (canceller.connect().ok) cupsCancelJob2(canceller.http(), queue_.c_str(), id_, 0);
  }
}

OsResult<uint32_t> Job::start(const std::string& queue, const std::string& title, const char* format) {
  queue_ = split_queue_name(queue).name;
  if (OsStatus s = scheduler_.connect(); !s.ok) return s;
  // Create-Job written out rather than cupsCreateJob, which looks the queue
  // up twice more before it asks: the caller has just read the queue.
  OsResult<IppMessage> built = queue_request(IPP_OP_CREATE_JOB, queue_, queue);
  if (!built.ok()) return built.take_error();
  IppMessage request = std::move(built.value());
  ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
  ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, title.c_str());
  ippAddInteger(request.get(), IPP_TAG_JOB, IPP_TAG_INTEGER, "copies", 1);
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
  return static_cast<uint32_t>(id);
}

OsStatus Job::write(const uint8_t* data, size_t size) {
  // Pieces of at most 1 MiB, so each write's wait is bounded on its own.
  return write_all_pieces(data, size, 1u << 20, [this](const uint8_t* p, size_t n, size_t& written) {
    if (cupsWriteRequestData(scheduler_.http(), reinterpret_cast<const char*>(p), n) != HTTP_STATUS_CONTINUE) {
      return scheduler_.failure("Sending the document");
    }
    written = n;  // it writes all or fails
    return OsStatus::Ok();
  });
}

OsStatus Job::finish() {
  if (cupsFinishDocument(scheduler_.http(), queue_.c_str()) > IPP_STATUS_OK_EVENTS_COMPLETE) {
    return scheduler_.failure("Finishing the document");
  }
  finished_ = true;
  return OsStatus::Ok();
}

}  // namespace tph::cups
