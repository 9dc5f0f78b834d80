#pragma once
// What a network label printer says of itself, asked on the socket it prints
// from, added to what the spooler says of its queue. Answers are kept for a
// moment, so that a listing, a description and a watch ask a printer at most
// once a second, and one that did not answer is left alone for longer.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "platform/clock.h"
#include "platform/device_link.h"
#include "platform/spooler.h"
#include "queues/device_status.h"

namespace tph {

class PrinterVoice {
 public:
  // The longest one question may take: connecting, sending, the answer.
  static constexpr uint32_t kAskBoundMs = 500;
  // What the thread that asks may take beyond the bound before it is left.
  static constexpr uint32_t kAskSlackMs = 50;
  // An answer younger than this is used again rather than asked for.
  static constexpr uint64_t kFreshMs = 900;
  // A printer that did not answer is not asked again before this.
  static constexpr uint64_t kSilentRetryMs = 5000;

  // The link must outlive every question: one left at the bound may still
  // be finishing on its own thread.
  PrinterVoice(DeviceLink& link, Clock& clock) : link_(link), clock_(clock) {}

  // Adds the printer's own reasons to a queue marked with a status language
  // whose device is a socket, and the state they mean: paused, else offline,
  // else error, where the spooler said idle or printing. The printer is
  // asked only between jobs: while the queue is printing (sending a job,
  // perhaps ours) its last answer stands. Other queues are left as they are.
  void hear(QueueEntry& entry);
  // The same for many queues: every printer due a question is asked at
  // once, so the whole costs at most one bound.
  void hear_all(std::span<QueueEntry> entries);

 private:
  struct Heard {
    uint64_t at_ms = 0;
    DeviceAddress device;
    std::string language;
    std::optional<DeviceStatus> status;  // nothing: no answer, or none it could read
  };

  DeviceLink& link_;
  Clock& clock_;
  std::map<std::string, Heard> heard_;
  // Questions left at the bound and perhaps still running, by queue.
  std::map<std::string, std::shared_ptr<struct Asked>> unfinished_;
};

}  // namespace tph
