#pragma once
// The host's standard input, read on a thread of its own so that the main
// sequence can wait for the next message with a time limit and look at what
// it watches meanwhile. One message is read at a time, and only once the
// main sequence asked for it: a request is never held while another is
// handled.

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/channel.h"
#include "support/host_error.h"

namespace tph {

class Inbox {
 public:
  // The channel must outlive the process's last read: a reader still waiting
  // when the host stops is left to the process's end.
  explicit Inbox(Channel& channel);
  ~Inbox();
  Inbox(const Inbox&) = delete;
  Inbox& operator=(const Inbox&) = delete;

  using Message = Result<std::optional<std::string>>;  // as read_message gives it
  // The next message (or the end of input, or why it could not be read), or
  // nothing when `wait` passed first; without a limit it waits for one.
  // After nothing, the same read goes on: ask again.
  std::optional<Message> next(std::optional<std::chrono::milliseconds> wait);

 private:
  struct Shared {
    std::mutex mutex;
    std::condition_variable changed;
    bool wanted = false;     // the main sequence asked for a message
    bool done = false;       // the reader stopped (the end, or a failure)
    std::optional<Message> ready;
  };
  static void read_loop(Channel& channel, std::shared_ptr<Shared> shared);

  std::shared_ptr<Shared> shared_;
  std::thread reader_;
};

}  // namespace tph
