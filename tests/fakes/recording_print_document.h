#pragma once
// A print document that records every step into a log its test keeps (the
// document itself is gone once printing ends) and can fail any step at a
// chosen occurrence, for example the second page start.

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fakes/step_recorder.h"
#include "platform/print_document.h"

namespace tph::testing {

// Steps: "open", "start", "start_page", "draw", "end_page", "finish", "abort", "release".
struct PrintLog : StepLog {
  // The device as the document reports it.
  DocumentGeometry geometry{600, 600, 4800, 6600};
  uint32_t job_id = 42;
  std::string queue, title, job_uuid;
  PageRect drawn;
  std::vector<uint32_t> drawn_widths;  // of every raster drawn, in order
  int documents = 0;
  // Like a spooler (true) or like a document written out only when it ends (false).
  bool sends_pages = true;
};

class RecordingPrintDocument final : public PrintDocument, StepRecorder {
 public:
  explicit RecordingPrintDocument(std::shared_ptr<PrintLog> log) : StepRecorder(*log), log_(std::move(log)) {
    ++log_->documents;
  }
  ~RecordingPrintDocument() override {
    if (started_ && !finished_) note("abort");
    if (opened_) note("release");
  }

  OsStatus open(const std::string& queue) override {
    log_->queue = queue;
    if (failing("open")) return failure();
    opened_ = true;
    return OsStatus::Ok();
  }
  DocumentGeometry geometry() override { return log_->geometry; }
  void set_job_uuid(const std::string& uuid) override { log_->job_uuid = uuid; }
  OsResult<uint32_t> start(const std::string& title) override {
    log_->title = title;
    if (failing("start")) return failure();
    started_ = true;
    return log_->job_id;
  }
  // A page is logged as its three steps, any of which can fail.
  PageStatus print_page(const PageRect& where, uint32_t width, uint32_t, const uint8_t*) override {
    using Step = PageFailure::Step;
    if (failing("start_page")) return PageFailure{Step::kStart, failure()};
    log_->drawn = where;
    log_->drawn_widths.push_back(width);
    if (failing("draw")) return PageFailure{Step::kDraw, failure()};
    if (failing("end_page")) return PageFailure{Step::kEnd, failure()};
    return PagePrinted{};
  }
  OsStatus finish() override {
    finishing_ = true;
    if (failing("finish")) return failure();
    finished_ = true;
    return OsStatus::Ok();
  }
  bool anything_sent() const override { return log_->sends_pages || finishing_; }

 private:
  std::shared_ptr<PrintLog> log_;
  bool opened_ = false, started_ = false, finished_ = false, finishing_ = false;
};

}  // namespace tph::testing
