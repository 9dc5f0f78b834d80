#pragma once
// A raw print job that records its steps and bytes into a log the test keeps
// and can fail any step at a chosen occurrence.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fakes/step_recorder.h"
#include "platform/raw_print_job.h"

namespace tph::testing {

// Steps: "open", "start", "write", "finish", "abort", "close".
struct RawLog : StepLog {
  uint32_t job_id = 77;
  std::string queue, title, bytes, job_uuid;
  int jobs = 0;
};

class RecordingRawPrintJob final : public RawPrintJob, StepRecorder {
 public:
  explicit RecordingRawPrintJob(std::shared_ptr<RawLog> log) : StepRecorder(*log), log_(std::move(log)) {
    ++log_->jobs;
  }
  ~RecordingRawPrintJob() override {
    if (started_ && !finished_) note("abort");
    if (opened_) note("close");
  }
  OsStatus open(const std::string& queue) override {
    log_->queue = queue;
    if (failing("open")) return failure();
    opened_ = true;
    return OsStatus::Ok();
  }
  void set_job_uuid(const std::string& uuid) override { log_->job_uuid = uuid; }
  OsResult<uint32_t> start(const std::string& title) override {
    log_->title = title;
    if (failing("start")) return failure();
    started_ = true;
    return log_->job_id;
  }
  OsStatus write(const uint8_t* data, size_t size) override {
    if (failing("write")) return failure();
    log_->bytes.append(reinterpret_cast<const char*>(data), size);
    return OsStatus::Ok();
  }
  OsStatus finish() override {
    if (failing("finish")) return failure();
    finished_ = true;
    return OsStatus::Ok();
  }

 private:
  std::shared_ptr<RawLog> log_;
  bool opened_ = false, started_ = false, finished_ = false;
};

}  // namespace tph::testing
