#pragma once
// A raw print job that records its steps and bytes into a log the test keeps
// and can fail any step at a chosen occurrence.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/raw_print_job.h"
#include "platform/system_error.h"

namespace tph::testing {

struct RawLog {
  uint32_t job_id = 77;
  uint32_t error_code = 1804;
  std::map<std::string, int> fail_on;  // step -> failing occurrence (1-based)
  std::vector<std::string> steps;      // "open", "start", "write", "finish", "abort", "close"
  std::string queue, title, bytes;
  int jobs = 0;

  std::string sequence() const {
    std::string s;
    for (const auto& c : steps) s += (s.empty() ? "" : " ") + c;
    return s;
  }
};

class RecordingRawPrintJob final : public RawPrintJob {
 public:
  explicit RecordingRawPrintJob(std::shared_ptr<RawLog> log) : log_(std::move(log)) { ++log_->jobs; }
  ~RecordingRawPrintJob() override {
    if (started_ && !finished_) log_->steps.push_back("abort");
    if (opened_) log_->steps.push_back("close");
  }
  OsStatus open(const std::string& queue) override {
    log_->queue = queue;
    if (failing("open")) return failure();
    opened_ = true;
    return OsStatus::Ok();
  }
  OsStatus start(const std::string& title, uint32_t& job_id) override {
    log_->title = title;
    if (failing("start")) return failure();
    started_ = true;
    job_id = log_->job_id;
    return OsStatus::Ok();
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
  bool failing(const std::string& step) {
    log_->steps.push_back(step);
    int& count = counts_[step];
    ++count;
    auto it = log_->fail_on.find(step);
    return it != log_->fail_on.end() && it->second == count;
  }
  OsStatus failure() const { return OsStatus::Fail(log_->error_code, describe_system_error(log_->error_code)); }

  std::shared_ptr<RawLog> log_;
  std::map<std::string, int> counts_;
  bool opened_ = false, started_ = false, finished_ = false;
};

}  // namespace tph::testing
