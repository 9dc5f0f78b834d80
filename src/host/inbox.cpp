#include "host/inbox.h"

#include "host/framing.h"

namespace tph {

Inbox::Inbox(Channel& channel) : shared_(std::make_shared<Shared>()) {
  reader_ = std::thread(read_loop, std::ref(channel), shared_);
}

Inbox::~Inbox() {
  bool done = false;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    done = shared_->done;
  }
  // A reader blocked on input that never comes cannot be woken portably; it
  // holds only its share of the state and ends with the process.
  if (done) {
    reader_.join();
  } else {
    reader_.detach();
  }
}

void Inbox::read_loop(Channel& channel, std::shared_ptr<Shared> shared) {
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(shared->mutex);
      shared->changed.wait(lock, [&] { return shared->wanted; });
    }
    Message message = read_message(channel);
    const bool last = !message.ok() || !message.value();
    std::lock_guard<std::mutex> lock(shared->mutex);
    shared->wanted = false;
    shared->ready.emplace(std::move(message));
    shared->done = last;
    shared->changed.notify_all();
    if (last) return;
  }
}

std::optional<Inbox::Message> Inbox::next(std::optional<std::chrono::milliseconds> wait) {
  std::unique_lock<std::mutex> lock(shared_->mutex);
  if (!shared_->ready && !shared_->done) {
    shared_->wanted = true;
    shared_->changed.notify_all();
  }
  auto arrived = [this] { return shared_->ready.has_value(); };
  if (wait) {
    if (!shared_->changed.wait_for(lock, *wait, arrived)) return std::nullopt;
  } else {
    shared_->changed.wait(lock, arrived);
  }
  std::optional<Message> m = std::move(shared_->ready);
  shared_->ready.reset();
  return m;
}

}  // namespace tph
