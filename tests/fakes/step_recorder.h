#pragma once
// What the recording fakes of the print ports share: the steps they were
// asked for, in order, and the step (at a chosen occurrence) that fails.

#include <map>
#include <string>
#include <vector>

#include "platform/os_status.h"
#include "platform/system_error.h"

namespace tph::testing {

struct StepLog {
  uint32_t error_code = 1804;
  std::map<std::string, int> fail_on;  // step -> the occurrence (1-based) that fails
  std::vector<std::string> steps;

  std::string sequence() const {
    std::string s;
    for (const auto& c : steps) s += (s.empty() ? "" : " ") + c;
    return s;
  }
};

class StepRecorder {
 public:
  explicit StepRecorder(StepLog& log) : log_(log) {}

 protected:
  // Records the step; true when it is the one to fail.
  bool failing(const std::string& step) {
    log_.steps.push_back(step);
    int& count = counts_[step];
    ++count;
    auto it = log_.fail_on.find(step);
    return it != log_.fail_on.end() && it->second == count;
  }
  OsError failure() const { return OsStatus::Fail(log_.error_code, describe_system_error(log_.error_code)); }
  void note(const std::string& step) { log_.steps.push_back(step); }

 private:
  StepLog& log_;
  std::map<std::string, int> counts_;
};

}  // namespace tph::testing
