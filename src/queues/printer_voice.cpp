#include "queues/printer_voice.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/queue_marks.h"

namespace tph {

namespace {

// One question's answer, handed from the thread that asks it.
struct Asked {
  std::mutex mutex;
  std::condition_variable done;
  std::optional<std::string> answer;  // what came, when anything did
  bool finished = false;
};

}  // namespace

std::optional<DeviceStatus> PrinterVoice::ask(const QueueEntry& entry) {
  const StatusDialect* dialect = status_dialect(entry.status_language);
  if (!dialect) return std::nullopt;
  // The link bounds its socket's wait, but not a name's look-up: the question
  // runs on a thread of its own, and a look-up that hangs is left to finish
  // there, unheard, while the host goes on at the bound.
  auto asked = std::make_shared<Asked>();
  DeviceLink& link = link_;
  std::thread([asked, &link, device = *entry.device, dialect] {
    OsResult<std::string> answer =
        link.ask(device.host, device.port, dialect->query, dialect->max_answer_bytes, dialect->whole, kAskBoundMs);
    std::lock_guard<std::mutex> lock(asked->mutex);
    if (answer.ok()) asked->answer = std::move(answer.value());
    asked->finished = true;
    asked->done.notify_all();
  }).detach();
  std::unique_lock<std::mutex> lock(asked->mutex);
  if (!asked->done.wait_for(lock, std::chrono::milliseconds(kAskBoundMs + kAskSlackMs), [&] { return asked->finished; }) ||
      !asked->answer) {
    return std::nullopt;
  }
  return dialect->read(*asked->answer);
}

void PrinterVoice::hear(QueueEntry& entry) {
  if (entry.status_language.empty() || !entry.device) return;
  const uint64_t now = now_ms(clock_);
  auto it = heard_.find(entry.name);
  // A queue pointed at another printer, or marked anew, starts afresh.
  if (it != heard_.end() && (it->second.device != *entry.device || it->second.language != entry.status_language)) {
    heard_.erase(it);
    it = heard_.end();
  }
  const bool sending = entry.state == "printing";
  bool stale = it == heard_.end();
  if (!stale) {
    const Heard& h = it->second;
    const uint64_t age = now >= h.at_ms ? now - h.at_ms : kSilentRetryMs;  // a clock set back: ask
    stale = age >= (h.status ? kFreshMs : kSilentRetryMs);
  }
  if (stale && !sending) {
    Heard h{now, *entry.device, entry.status_language, ask(entry)};
    // The question's own time counts against the next one.
    h.at_ms = now_ms(clock_);
    it = heard_.insert_or_assign(entry.name, std::move(h)).first;
  }
  if (it == heard_.end() || !it->second.status) return;
  const std::vector<std::string>& said = it->second.status->reasons;
  entry.reasons.insert(entry.reasons.end(), said.begin(), said.end());
  settle_reasons(entry.reasons);
  if (said.empty() || !(entry.state == "idle" || entry.state == "printing")) return;
  auto says = [&said](const char* reason) {
    for (const std::string& r : said) {
      if (r == reason) return true;
    }
    return false;
  };
  entry.state = says(kReasonPaused) ? "paused" : says(kReasonOffline) ? "offline" : "error";
}

}  // namespace tph
