#include "platform/spooler.h"

namespace tph {
namespace {

// No print system is wired up on Linux yet: no queues, no default, and no job
// can be observed.
class NoSpooler final : public Spooler {
 public:
  QueueEnumeration enumerate_queues() override { return {}; }
  std::optional<uint32_t> queue_status(const std::u16string&) override { return std::nullopt; }
  std::u16string default_queue() override { return {}; }
  JobQuery query_job(const std::u16string&, uint32_t) override { return {}; }
};

}  // namespace

Spooler& system_spooler() {
  static NoSpooler spooler;
  return spooler;
}

}  // namespace tph
