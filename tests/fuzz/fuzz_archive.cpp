// The attempt archive over bytes of any shape as its log and its index (the
// input: a 32-bit little-endian length, that many bytes of log, the rest the
// index): lookups and prefix listings answer or fail, never crash; an append
// cuts off what is not a committed batch, and what it appended, or what a
// lookup found before it, is found (or the lookup fails): never missed.
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

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
  tph::Result<tph::AttemptArchive::Matches> listed = everything();
  // What a lookup answers before the append, for every record in the log.
  // (An index that covers a record and does not list it hides it from
  // lookups before and after alike: lookups trust the index the archive
  // wrote, and only a listing reads the whole log.)
  std::vector<tph::JobRecord> held;
  if (listed.ok()) {
    for (const tph::JobRecord& r : listed.value().records) {
      tph::Result<std::optional<tph::JobRecord>> before = archive.find(r.intent_id);
      if (before.ok() && before.value()) held.push_back(*before.value());
    }
  }
  const tph::JobRecord added{"fuzz-added", std::string(64, 'a'), tph::JobState::kSubmitted, "Q", "1", 1, 2, "", ""};
  if (!archive.add({added}).ok()) return 0;  // a damaged archive may refuse, never crash
  tph::Result<std::optional<tph::JobRecord>> found = archive.find("fuzz-added");
  // Found, or an error where the index is damaged; never missed.
  if (found.ok() && (!found.value() || !(*found.value() == added))) std::abort();
  // An append never loses what a lookup found before it: the same record is
  // found again, or the lookup fails (a damaged index is an error, never
  // absence).
  for (const tph::JobRecord& r : held) {
    tph::Result<std::optional<tph::JobRecord>> again = archive.find(r.intent_id);
    if (r.intent_id != added.intent_id && again.ok() && (!again.value() || !(*again.value() == r))) std::abort();
  }
  return 0;
}
