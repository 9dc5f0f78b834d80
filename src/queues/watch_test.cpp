// Live status in the core: what a label printer's status answer says, how its
// word joins the spooler's, and what a watch reports, once per change.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <thread>
#include <map>

#include "fakes/fake_clock.h"
#include "fakes/test_host.h"
#include "queues/device_status.h"
#include "queues/printer_voice.h"
#include "queues/watch.h"
#include "state/ledger_json.h"

namespace tph {
namespace {

using testing::FakeClock;
using testing::TestHost;
using V = std::vector<std::string>;

std::string zpl(const char* first, const char* second) {
  return std::string("\x02") + first + "\x03\r\n\x02" + second + "\x03\r\n\x02" + "1234,0\x03\r\n";
}

TEST(DeviceStatus, ZplHostStatus) {
  const char* ok1 = "030,0,0,1218,000,0,0,0,000,0,0,0";
  const char* ok2 = "001,0,0,0,1,2,6,0,00000000,1,000";
  const std::pair<std::string, std::optional<V>> cases[] = {
      {zpl(ok1, ok2), V{}},
      {zpl("030,1,0,1218,000,0,0,0,000,0,0,0", ok2), V{"media-empty"}},
      {zpl("030,0,1,1218,000,0,0,0,000,0,0,0", ok2), V{"paused"}},
      {zpl(ok1, "001,0,1,0,1,2,6,0,00000000,1,000"), V{"head-open"}},
      {zpl(ok1, "001,0,0,1,1,2,6,0,00000000,1,000"), V{"ribbon-empty"}},
      {zpl("030,1,1,1218,000,0,0,0,000,1,0,1", "001,0,1,1,1,2,6,0,00000000,1,000"),
       V{"error", "head-open", "media-empty", "paused", "ribbon-empty"}},
      {"junk before" + zpl(ok1, ok2), V{}},
      {zpl("030,2,0,1218,000,0,0,0,000,0,0,0", ok2), std::nullopt},  // not a flag
      {zpl("030,0,0,1218", ok2), std::nullopt},                     // too few fields
      {std::string("\x02") + ok1 + "\x03\x02" + ok2 + "\x03", std::nullopt},  // two strings only
      {"", std::nullopt},
      {std::string(5000, '\x02'), std::nullopt},
  };
  for (const auto& [answer, reasons] : cases) {
    std::optional<DeviceStatus> s = read_zpl_host_status(answer);
    EXPECT_EQ(s.has_value(), reasons.has_value()) << answer;
    if (s && reasons) EXPECT_EQ(s->reasons, *reasons) << answer;
  }
  EXPECT_FALSE(zpl_host_status_whole(std::string("\x02") + ok1 + "\x03"));
  EXPECT_TRUE(zpl_host_status_whole(zpl(ok1, ok2)));
}

TEST(DeviceStatus, EscPosRealTimeStatus) {
  auto bytes = [](std::initializer_list<int> b) {
    std::string s;
    for (int v : b) s += static_cast<char>(v);
    return s;
  };
  const std::pair<std::string, std::optional<V>> cases[] = {
      {bytes({0x12, 0x12, 0x12, 0x12}), V{}},
      {bytes({0x1A, 0x16, 0x12, 0x12}), V{"door-open"}},          // offline because the cover is open
      {bytes({0x1A, 0x32, 0x12, 0x72}), V{"media-empty"}},        // paper end, both ways
      {bytes({0x12, 0x12, 0x12, 0x1E}), V{}},                     // paper near end only
      {bytes({0x1A, 0x52, 0x1A, 0x12}), V{"error"}},              // an error, an autocutter fault
      {bytes({0x1A, 0x12, 0x12, 0x12}), V{"offline"}},            // offline with no cause given
      {bytes({0x12, 0x12, 0x12}), std::nullopt},                  // one short
      {bytes({0x13, 0x12, 0x12, 0x12}), std::nullopt},            // bit 0 set: not a status byte
      {bytes({0x92, 0x12, 0x12, 0x12}), std::nullopt},            // bit 7 set
      {bytes({0x12, 0x12, 0x12, 0x12, 0x12}), std::nullopt},
  };
  for (const auto& [answer, reasons] : cases) {
    std::optional<DeviceStatus> s = read_escpos_status(answer);
    EXPECT_EQ(s.has_value(), reasons.has_value());
    if (s && reasons) EXPECT_EQ(s->reasons, *reasons);
  }
}

// A printer on the other end of the socket, as the test scripts it.
class ScriptedLink final : public DeviceLink {
 public:
  std::deque<OsResult<std::string>> answers;
  std::vector<std::string> asked;  // "host:port query"
  OsResult<std::string> ask(const std::string& host, uint16_t port, std::string_view query, size_t,
                            const std::function<bool(std::string_view)>&, uint32_t bound_ms) override {
    EXPECT_LE(bound_ms, PrinterVoice::kAskBoundMs);
    asked.push_back(host + ":" + std::to_string(port) + " " + std::string(query));
    if (answers.empty()) return OsStatus::Fail(0, "no answer", OsErrorKind::kTimedOut);
    OsResult<std::string> a = std::move(answers.front());
    answers.pop_front();
    return a;
  }
};

QueueEntry marked(std::string_view state, const char* language = "zpl") {
  QueueEntry e;
  e.name = "Dock";
  e.state = state;
  e.status_language = language;
  e.device = DeviceAddress{"10.0.0.7", 9100};
  return e;
}

const std::string kPaperOut = zpl("030,1,0,1218,000,0,0,0,000,0,0,0", "001,0,0,0,1,2,6,0,00000000,1,000");

TEST(PrinterVoice, AsksBetweenJobsKeepsAnswersAndLeavesSilentPrintersAlone) {
  TestHost host;
  ScriptedLink link;
  PrinterVoice voice(link, host.clock);

  QueueEntry unmarked;
  unmarked.name = "Plain";
  unmarked.state = "idle";
  voice.hear(unmarked);
  EXPECT_TRUE(link.asked.empty()) << "a queue not marked is never asked";

  link.answers.push_back(kPaperOut);
  QueueEntry e = marked("idle");
  voice.hear(e);
  EXPECT_EQ(link.asked, V{"10.0.0.7:9100 ~HS"});
  EXPECT_EQ((std::pair<std::string_view, V>(e.state, e.reasons)), (std::pair<std::string_view, V>("error", {"media-empty"})));

  // Fresh: not asked again; the answer stands.
  QueueEntry again = marked("idle");
  voice.hear(again);
  EXPECT_EQ(link.asked.size(), 1u);
  EXPECT_EQ(again.reasons, V{"media-empty"});

  // While the queue sends a job the printer is not asked, even when stale.
  host.clock.advance_ms(PrinterVoice::kFreshMs);
  QueueEntry sending = marked("printing");
  voice.hear(sending);
  EXPECT_EQ(link.asked.size(), 1u);
  EXPECT_EQ(sending.state, "error");

  // A paused spooler queue stays paused; the printer's reasons join its own.
  link.answers.push_back(kPaperOut);
  QueueEntry paused = marked("paused");
  paused.reasons = {"paused"};
  voice.hear(paused);
  EXPECT_EQ(paused.state, "paused");
  EXPECT_EQ(paused.reasons, (V{"media-empty", "paused"}));

  // No answer: the spooler's word only, and no question again for a while.
  host.clock.advance_ms(PrinterVoice::kFreshMs);
  QueueEntry silent = marked("idle");
  voice.hear(silent);
  EXPECT_EQ(silent.state, "idle");
  EXPECT_EQ(silent.reasons, V{});
  const size_t asked = link.asked.size();
  host.clock.advance_ms(PrinterVoice::kSilentRetryMs - 1);
  voice.hear(silent);
  EXPECT_EQ(link.asked.size(), asked);
  host.clock.advance_ms(1);
  voice.hear(silent);
  EXPECT_EQ(link.asked.size(), asked + 1);

  // A queue pointed at another printer is asked at once, in its language.
  link.answers.push_back(std::string("\x12\x16\x12\x12", 4));
  QueueEntry moved = marked("idle", "escpos");
  voice.hear(moved);
  EXPECT_EQ(link.asked.back().substr(0, 13), "10.0.0.7:9100");
  EXPECT_EQ(moved.reasons, V{"door-open"});
}

std::map<std::string, JobState> states(const WatchEvents& e) {
  std::map<std::string, JobState> m;
  for (const JobRecord& j : e.jobs) EXPECT_TRUE(m.emplace(j.intent_id, j.state).second) << "told twice: " << j.intent_id;
  return m;
}

// A printer whose name's look-up hangs far past the bound.
class HangingLink final : public DeviceLink {
 public:
  std::atomic<int> asked{0};
  OsResult<std::string> ask(const std::string&, uint16_t, std::string_view, size_t,
                            const std::function<bool(std::string_view)>&, uint32_t) override {
    ++asked;
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    return std::string();
  }
};

TEST(PrinterVoice, AQuestionThatHangsCostsTheBoundOnceAndIsNotAskedBesideItself) {
  static HangingLink link;  // outlives the question left running
  FakeClock clock;
  PrinterVoice voice(link, clock);
  QueueEntry e = marked("idle");
  const auto started = std::chrono::steady_clock::now();
  voice.hear(e);
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_LT(took, std::chrono::milliseconds(PrinterVoice::kAskBoundMs + PrinterVoice::kAskSlackMs + 200));
  EXPECT_EQ(e.reasons, V{});
  // Due again, but the first question still runs: not asked beside it.
  clock.advance_ms(PrinterVoice::kSilentRetryMs);
  QueueEntry again = marked("idle");
  voice.hear(again);
  EXPECT_EQ(link.asked.load(), 1);
  // Once it has finished, the printer is asked again.
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  clock.advance_ms(PrinterVoice::kSilentRetryMs);
  voice.hear(again);
  EXPECT_EQ(link.asked.load(), 2);
}

JobRecord record(const std::string& id, JobState state, const std::string& job, uint64_t now) {
  return JobRecord{id, std::string(64, 'a'), state, "Label_PDF", job, now, now, "", ""};
}

TEST(Watch, ReportsEachChangeOnceAndRecordsWhatItSees) {
  TestHost host;
  host.open();
  ScriptedLink link;
  PrinterVoice voice(link, host.clock);
  StateStore& store = *host.store;
  store.ledger.jobs["a"] = record("a", JobState::kSubmitted, "7", host.clock.now_ms());
  store.ledger.jobs["done"] = record("done", JobState::kCompleted, "8", host.clock.now_ms());
  ASSERT_TRUE(hold_state(store, host.clock).ok());
  ASSERT_TRUE(save_ledger(store).ok());
  release_state(store);
  host.spooler.add_queue("Label_PDF", "idle");
  host.spooler.jobs[7] = JobObservation::kActive;

  Watch watch;
  ASSERT_TRUE(watch.add({"Label_PDF", "Gone"}, {"a", "done", "later"}).ok());
  EXPECT_TRUE(watch.has_new());
  WatchEvents first = watch.look(store, host.spooler, host.clock, voice);
  EXPECT_FALSE(store.held) << "a look lets the lock go";
  EXPECT_EQ(states(first), (std::map<std::string, JobState>{{"a", JobState::kObserved}, {"done", JobState::kCompleted}}));
  ASSERT_EQ(first.printers.size(), 2u);
  EXPECT_EQ(first.printers[0].name, "Gone");
  EXPECT_EQ(first.printers[0].state, "unavailable");
  EXPECT_FALSE(watch.has_new());

  EXPECT_TRUE(watch.look(store, host.spooler, host.clock, voice).empty()) << "nothing changed, nothing told";

  // The job completes and the printer stops; another host makes "later".
  host.spooler.jobs[7] = JobObservation::kCompleted;
  host.spooler.queues[0].state = "paused";
  host.spooler.queues[0].reasons = {"paused"};
  HostLedger other = store.ledger;
  other.jobs["later"] = record("later", JobState::kSubmitted, "", host.clock.now_ms());
  host.fs.put_file(TestHost::kLedger, encode_ledger(other).value());
  WatchEvents second = watch.look(store, host.spooler, host.clock, voice);
  EXPECT_EQ(states(second),
            (std::map<std::string, JobState>{{"a", JobState::kCompleted}, {"later", JobState::kSubmitted}}));
  EXPECT_EQ(decode_ledger(*host.fs.file(TestHost::kLedger)).value().jobs.at("a").state, JobState::kCompleted)
      << "what the watch saw is recorded, as get_job records it";
  ASSERT_EQ(second.printers.size(), 1u);
  EXPECT_EQ(second.printers[0].reasons, V{"paused"});

  // Watched again (by a second watch on the port): told again, as it is now.
  ASSERT_TRUE(watch.add({}, {"a"}).ok());
  EXPECT_EQ(states(watch.look(store, host.spooler, host.clock, voice)),
            (std::map<std::string, JobState>{{"a", JobState::kCompleted}}));

  watch.remove({"Gone"}, {"a"});
  EXPECT_EQ(watch.printers(), V{"Label_PDF"});
  EXPECT_EQ(watch.intents(), (V{"done", "later"}));
  watch.remove({}, {});
  EXPECT_TRUE(watch.empty());
}

TEST(Watch, RefusesMoreThanItsLimitsAndAddsNothing) {
  Watch watch;
  V many;
  for (size_t i = 0; i < Watch::kMaxIntents; ++i) many.push_back("i" + std::to_string(i));
  ASSERT_TRUE(watch.add({}, many).ok());
  ASSERT_TRUE(watch.add({}, {"i0", "i1"}).ok()) << "those already watched do not count twice";
  Status over = watch.add({"P"}, {"one-more"});
  ASSERT_FALSE(over.ok());
  EXPECT_STREQ(over.error().code_name(), "BAD_REQUEST");
  EXPECT_EQ(watch.printers(), V{});
  EXPECT_EQ(watch.intents().size(), Watch::kMaxIntents);
}

}  // namespace
}  // namespace tph
