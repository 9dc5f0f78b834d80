#include "queues/printer_voice.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/queue_marks.h"

namespace tph {

// One question's answer, handed from the thread that asks it.
struct Asked {
  std::mutex mutex;
  std::condition_variable done;
  std::optional<std::string> answer;  // what came, when anything did
  bool finished = false;
};

namespace {

// Asks on a thread of its own. The link bounds its socket's wait, but not a
// name's look-up: a question that outlasts the bound is left to finish
// there, unheard, while the host goes on.
// Nothing when no thread could be had: the printer is then not asked.
std::shared_ptr<Asked> start_asking(DeviceLink& link, const DeviceAddress& device, const StatusDialect* dialect,
                                    uint32_t bound_ms) {
  auto asked = std::make_shared<Asked>();
  try {
    std::thread([asked, &link, device, dialect, bound_ms] {
      OsResult<std::string> answer =
          link.ask(device.host, device.port, dialect->query, dialect->max_answer_bytes, dialect->whole, bound_ms);
      std::lock_guard<std::mutex> lock(asked->mutex);
      if (answer.ok()) asked->answer = std::move(answer.value());
      asked->finished = true;
      asked->done.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    return nullptr;
  }
  return asked;
}

bool finished(const std::shared_ptr<Asked>& asked) {
  std::lock_guard<std::mutex> lock(asked->mutex);
  return asked->finished;
}

bool says(const std::vector<std::string>& said, const char* reason) {
  for (const std::string& r : said) {
    if (r == reason) return true;
  }
  return false;
}

}  // namespace

void PrinterVoice::hear(QueueEntry& entry) { hear_all(std::span<QueueEntry>(&entry, 1)); }

void PrinterVoice::hear_all(std::span<QueueEntry> entries) {
  // Every printer due a question is asked at once, so that a listing of
  // many costs one bound, not one each.
  struct Question {
    QueueEntry* entry;
    const StatusDialect* dialect;
    std::shared_ptr<Asked> asked;
  };
  std::vector<Question> questions;
  const uint64_t now = now_ms(clock_);
  for (QueueEntry& entry : entries) {
    if (entry.status_language.empty() || !entry.device) continue;
    auto it = heard_.find(entry.name);
    // A queue pointed at another printer, or marked anew, starts afresh.
    if (it != heard_.end() && (it->second.device != *entry.device || it->second.language != entry.status_language)) {
      heard_.erase(it);
      it = heard_.end();
    }
    bool stale = it == heard_.end();
    if (!stale) {
      const Heard& h = it->second;
      const uint64_t age = now >= h.at_ms ? now - h.at_ms : kSilentRetryMs;  // a clock set back: ask
      stale = age >= (h.status ? kFreshMs : kSilentRetryMs);
    }
    const StatusDialect* dialect = status_dialect(entry.status_language);
    // A question left at the bound that is still running (a name's look-up
    // that hangs) is not asked again beside it: one thread a printer at most.
    auto running = unfinished_.find(entry.name);
    if (running != unfinished_.end()) {
      if (!finished(running->second)) continue;
      unfinished_.erase(running);
    }
    // Only between jobs: a queue sending one (perhaps ours) keeps its last answer.
    if (stale && dialect && entry.state != "printing") {
      if (std::shared_ptr<Asked> asked = start_asking(link_, *entry.device, dialect, kAskBoundMs)) {
        questions.push_back({&entry, dialect, std::move(asked)});
      }
    }
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAskBoundMs + kAskSlackMs);
  for (Question& q : questions) {
    std::optional<std::string> answer;
    {
      std::unique_lock<std::mutex> lock(q.asked->mutex);
      if (q.asked->done.wait_until(lock, deadline, [&] { return q.asked->finished; })) {
        answer = std::move(q.asked->answer);
      } else {
        unfinished_[q.entry->name] = q.asked;
      }
    }
    // The question's own time counts against the next one.
    heard_.insert_or_assign(q.entry->name, Heard{now_ms(clock_), *q.entry->device, q.entry->status_language,
                                                 answer ? q.dialect->read(*answer) : std::nullopt});
  }
  for (QueueEntry& entry : entries) {
    if (entry.status_language.empty() || !entry.device) continue;
    auto it = heard_.find(entry.name);
    if (it == heard_.end() || !it->second.status) continue;
    const std::vector<std::string>& said = it->second.status->reasons;
    entry.reasons.insert(entry.reasons.end(), said.begin(), said.end());
    settle_reasons(entry.reasons);
    if (said.empty() || !(entry.state == "idle" || entry.state == "printing")) continue;
    entry.state = says(said, kReasonPaused) ? "paused" : says(said, kReasonOffline) ? "offline" : "error";
  }
}

}  // namespace tph
