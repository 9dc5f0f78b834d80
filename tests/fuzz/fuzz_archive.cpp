// The attempt archive over bytes of any shape as its log and its index (the
// input: a 32-bit little-endian length, that many bytes of log, the rest the
// index): lookups and prefix listings answer or fail, never crash; an append
// cuts off what is not a committed batch, and what it appended, or held
// before, is found (or the lookup fails): never missed.
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <string>

#include "fakes/memory_file_system.h"
#include "state/attempt_archive.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const std::string bytes(reinterpret_cast<const char*>(data) + 4, size - 4);
  const size_t log_size = std::min<size_t>(bytes.size(), data[0] | data[1] << 8 | data[2] << 16 | uint32_t{data[3]} << 24);
  tph::testing::MemoryFileSystem fs;
  fs.put_dir("/s");
  fs.put_file("/s/archive.log", bytes.substr(0, log_size));
  fs.put_file("/s/archive.idx", bytes.substr(log_size));
  tph::AttemptArchive archive(fs, "/s");
  (void)archive.find("order-1");
  auto everything = [&archive] {
    return archive.with_prefix("", 100000, [](std::string_view) { return false; });
  };
  tph::Result<tph::AttemptArchive::Matches> before = everything();
  const tph::JobRecord added{"fuzz-added", std::string(64, 'a'), tph::JobState::kSubmitted, "Q", "1", 1, 2, "", ""};
  if (!archive.add({added}).ok()) return 0;  // a damaged archive may refuse, never crash
  tph::Result<std::optional<tph::JobRecord>> found = archive.find("fuzz-added");
  // Found, or an error where the index is damaged; never missed.
  if (found.ok() && (!found.value() || !(*found.value() == added))) std::abort();
  // An append never loses what the archive held before it: a lookup finds
  // the same record, or fails (a damaged index is an error, never absence).
  if (before.ok()) {
    for (const tph::JobRecord& r : before.value().records) {
      tph::Result<std::optional<tph::JobRecord>> again = archive.find(r.intent_id);
      if (r.intent_id != added.intent_id && again.ok() && (!again.value() || !(*again.value() == r))) std::abort();
    }
  }
  return 0;
}
