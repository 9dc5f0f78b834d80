#pragma once
// A print document that records every step into a log its test keeps (the
// document itself is gone once printing ends) and can fail any step at a
// chosen occurrence, for example the second page start.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/print_document.h"
#include "platform/system_error.h"

namespace tph::testing {

struct PrintLog {
  // The device as the document reports it.
  DocumentGeometry geometry{600, 600, 4800, 6600};
  uint32_t job_id = 42;
  uint32_t error_code = 1804;
  // Step name -> the occurrence (1-based) that fails.
  std::map<std::string, int> fail_on;

  std::vector<std::string> steps;  // "open", "start", "start_page", "draw", "end_page", "finish", "abort", "release"
  std::string queue, title;
  PageRect drawn;
  int documents = 0;

  std::string sequence() const {
    std::string s;
    for (const auto& c : steps) s += (s.empty() ? "" : " ") + c;
    return s;
  }
};

class RecordingPrintDocument final : public PrintDocument {
 public:
  explicit RecordingPrintDocument(std::shared_ptr<PrintLog> log) : log_(std::move(log)) { ++log_->documents; }
  ~RecordingPrintDocument() override {
    if (started_ && !finished_) log_->steps.push_back("abort");
    if (opened_) log_->steps.push_back("release");
  }

  OsStatus open(const std::string& queue) override {
    log_->queue = queue;
    if (failing("open")) return failure();
    opened_ = true;
    return OsStatus::Ok();
  }
  DocumentGeometry geometry() override { return log_->geometry; }
  OsStatus start(const std::string& title, uint32_t& job_id) override {
    log_->title = title;
    if (failing("start")) return failure();
    started_ = true;
    job_id = log_->job_id;
    return OsStatus::Ok();
  }
  OsStatus start_page() override { return failing("start_page") ? failure() : OsStatus::Ok(); }
  OsStatus draw(const PageRect& where, uint32_t, uint32_t, const uint8_t*) override {
    log_->drawn = where;
    return failing("draw") ? failure() : OsStatus::Ok();
  }
  OsStatus end_page() override { return failing("end_page") ? failure() : OsStatus::Ok(); }
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

  std::shared_ptr<PrintLog> log_;
  std::map<std::string, int> counts_;
  bool opened_ = false, started_ = false, finished_ = false;
};

}  // namespace tph::testing
