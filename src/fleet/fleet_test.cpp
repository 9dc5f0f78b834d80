#include <gtest/gtest.h>

#include "fakes/fake_etcd.h"
#include "fakes/test_data.h"
#include "fakes/test_host.h"
#include "fleet/fleet_ledger.h"
#include "fleet/fleet_policy.h"
#include "fleet/fleet_record.h"
#include "fleet/fleet_sync.h"
#include "state/attempt_state.h"

namespace tph {
namespace {

using testing::FakeEtcd;
using testing::TestHost;
using Fault = FakeEtcd::Fault;

const std::string kKey = "/fleets/t/intents/";

FleetPolicy test_policy(const std::string& station) {
  FleetPolicy p;
  p.endpoints = {"https://127.0.0.1:1", "https://127.0.0.1:2", "https://127.0.0.1:3"};
  p.prefix = "/fleets/t";
  p.station = station;
  p.bound_ms = 1000;
  return p;
}

std::string raw(const std::string& intent, const std::string& bytes = "^XA^FDlabel^FS^XZ") {
  return R"({"protocol":1,"request_id":"r","type":"submit_raw","payload":{"intent_id":")" + intent +
         R"(","printer":"Label_Raw","title":"Raw","copies":1,"language":"zpl","base64":")" +
         testing::encode_base64(bytes) + R"("}})";
}

std::string get_job(const std::string& intent) {
  return R"({"protocol":1,"request_id":"r","type":"get_job","payload":{"intent_id":")" + intent + R"("}})";
}

// A station: a host with its own ledger, joined to the fleet in `etcd`.
struct Station {
  TestHost host;
  FleetLedger fleet;
  Station(FakeEtcd& etcd, const std::string& name) : fleet(test_policy(name), etcd, "packer") {
    host.open();
    host.context->print.fleet = &fleet;
  }
  std::string handle(const std::string& body) { return host.handle(body); }
  int printed() const { return host.raw_log->jobs; }
};

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(FleetPolicy, ReadsOnlyWhatCanBeUsed) {
  const PolicyValues good = {{"endpoints", "https://a:1,https://b:2/"}, {"prefix", "/f/dock"}, {"user", "u"},
                             {"password", "p"}, {"timeout_ms", "1500"}};
  auto with = [&](const std::string& name, const std::string& value) {
    PolicyValues v = good;
    v[name] = value;
    return v;
  };
  const struct {
    const char* name;
    PolicyValues values;
    const char* error;  // nullptr: accepted
  } rows[] = {
      {"good", good, nullptr},
      {"plain http", with("endpoints", "http://a:1"), "not https"},
      {"an endpoint with a path", with("endpoints", "https://a:1/v3"), "not https"},
      {"no endpoints", with("endpoints", ""), "no endpoints"},
      {"prefix without a slash", with("prefix", "f"), "prefix"},
      {"prefix ending in a slash", with("prefix", "/f/"), "prefix"},
      {"a misspelt setting", with("endpionts", "x"), "not a setting"},
      {"a certificate without its key", with("cert_file", "/c.pem"), "needs its key"},
      {"a password without its user", with("user", ""), "needs its user"},
      {"a bound too short", with("timeout_ms", "99"), "timeout_ms"},
      {"a bound not a number", with("timeout_ms", "1s"), "timeout_ms"},
      {"a station with a control character", with("station", "a\tb"), "station"},
  };
  for (const auto& row : rows) {
    Result<std::optional<FleetPolicy>> p = fleet_policy_from(row.values, "machine-1");
    if (row.error == nullptr) {
      ASSERT_TRUE(p.ok()) << row.name << ": " << p.error().message;
      EXPECT_EQ(p.value()->endpoints, (std::vector<std::string>{"https://a:1", "https://b:2"}));
      EXPECT_EQ(p.value()->station, "machine-1") << "the machine's name, when the policy names none";
      EXPECT_EQ(p.value()->bound_ms, 1500u);
    } else {
      ASSERT_FALSE(p.ok()) << row.name;
      EXPECT_EQ(p.error().code, ErrorCode::kFleetUnavailable) << row.name;
      EXPECT_TRUE(has(p.error().message, row.error)) << row.name << ": " << p.error().message;
    }
  }
  Result<std::optional<FleetPolicy>> none = fleet_policy_from(std::nullopt, "m");
  ASSERT_TRUE(none.ok());
  EXPECT_FALSE(none.value().has_value()) << "no policy: the station prints alone";
}

TEST(FleetRecord, ReadsBackWhatItWritesAndNothingElse) {
  FleetRecord r{begin_attempt("i-1", std::string(64, 'a'), "Q", 5), "packer", std::string(32, 'f'),
                std::string(16, '0')};
  r.record.station = "dock-1";
  const std::string stored = encode_fleet_record(r);
  std::optional<FleetRecord> back = parse_fleet_record(stored, "i-1");
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->record, r.record);
  EXPECT_EQ(back->token, r.token);
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string s = stored;
    s.replace(s.find(from), from.size(), to);
    return s;
  };
  const struct {
    const char* name;
    std::string value;
  } refused[] = {
      {"another intent's key", stored},
      {"a short token", replaced(std::string(32, 'f'), "ff")},
      {"a token not in hex", replaced(std::string(32, 'f'), std::string(32, 'Z'))},
      {"no attempt's nonce", replaced(std::string(16, '0'), "")},
      {"a state no host writes", replaced("DISPATCHING", "PRINTING")},
      {"a station too long", replaced("dock-1", std::string(200, 's'))},
      {"not JSON", "{"},
      {"too large", std::string(kMaxFleetValueBytes + 1, ' ')},
  };
  for (const auto& row : refused) {
    EXPECT_FALSE(parse_fleet_record(row.value, row.name == std::string("another intent's key") ? "i-2" : "i-1"))
        << row.name;
  }
}

TEST(FleetLedger, AClaimIsSettledByItsToken) {
  const std::string mine(32, 'a');
  const std::string theirs(32, 'b');
  const struct {
    const char* name;
    std::vector<Fault> faults;
    int before;  // 0: no claim; 1: another station's; 2: an earlier attempt from this ledger
    bool ok, ours, made_now;
  } rows[] = {
      {"new", {}, 0, true, true, true},
      {"taken", {}, 1, true, false, false},
      {"answer lost after the claim: read back, ours", {Fault::kLoseAfter}, 0, true, true, true},
      {"answer lost, another's claim read back", {Fault::kLoseAfter}, 1, true, false, false},
      {"an earlier attempt of this ledger's: ours, not this one's", {}, 2, true, true, false},
      {"the same, its answer lost and read back", {Fault::kLoseAfter}, 2, true, true, false},
      {"lost before it was applied: not made", {Fault::kLoseBefore}, 0, false, false, false},
      {"never reached the first member: the next makes it", {Fault::kRefuse}, 0, true, true, true},
      {"lost, and the read back lost on every member",
       {Fault::kLoseAfter, Fault::kLoseBefore, Fault::kLoseBefore, Fault::kLoseBefore, Fault::kLoseBefore,
        Fault::kLoseBefore, Fault::kLoseBefore},
       0, false, false, false},
  };
  for (const auto& row : rows) {
    FakeEtcd etcd;
    FleetLedger fleet(test_policy("dock-1"), etcd, "packer");
    JobRecord attempt = begin_attempt("i-1", std::string(64, 'a'), "Q", 5);
    attempt.station = "dock-1";
    attempt.fleet_nonce = "0123456789abcdef";
    if (row.before != 0) {
      JobRecord other = attempt;
      other.station = row.before == 1 ? "dock-2" : "dock-1";
      other.fleet_nonce = "fedcba9876543210";
      ASSERT_TRUE(FleetLedger(test_policy(other.station), etcd, "p")
                      .claim(other, row.before == 1 ? theirs : mine, fleet.deadline()).ok());
    }
    etcd.faults.assign(row.faults.begin(), row.faults.end());
    Result<Claimed> c = fleet.claim(attempt, mine, fleet.deadline());
    ASSERT_EQ(c.ok(), row.ok) << row.name;
    if (!c.ok()) {
      EXPECT_EQ(c.error().code, ErrorCode::kFleetUnavailable) << row.name;
      continue;
    }
    EXPECT_EQ(c.value().ours, row.ours) << row.name;
    EXPECT_EQ(c.value().made_now, row.made_now) << row.name;
    EXPECT_EQ(c.value().stored.record.station, row.before == 1 ? "dock-2" : "dock-1") << row.name;
    EXPECT_EQ(c.value().revision, etcd.kv.at(kKey + "i-1").mod) << row.name;
  }
}

TEST(FleetLedger, AnOutcomeIsWrittenOverTheStationsOwnWriteOnly) {
  FakeEtcd etcd;
  FleetLedger fleet(test_policy("dock-1"), etcd, "packer");
  const std::string token(32, 'a');
  JobRecord r = begin_attempt("i-1", std::string(64, 'a'), "Q", 5);
  r.station = "dock-1";
  r.fleet_nonce = "0123456789abcdef";
  Result<Claimed> c = fleet.claim(r, token, fleet.deadline());
  ASSERT_TRUE(c.ok());
  r.fleet_revision = c.value().revision;
  record_submitted(r, 12, 6);
  // Its answer lost: the next try finds its own write there and takes it.
  etcd.faults = {Fault::kLoseAfter};
  EXPECT_FALSE(fleet.publish(r, token, fleet.deadline()));
  EXPECT_TRUE(fleet.publish(r, token, fleet.deadline()));
  EXPECT_EQ(etcd.record(kKey + "i-1")["state"], "SUBMITTED");
  EXPECT_EQ(r.fleet_revision, etcd.kv.at(kKey + "i-1").mod);
  EXPECT_EQ(r.fleet_state, "SUBMITTED");
  // Another station's record under the key is never written over.
  etcd.kv.at(kKey + "i-1").value = encode_fleet_record(FleetRecord{r, "x", std::string(32, 'b'), r.fleet_nonce});
  etcd.kv.at(kKey + "i-1").mod = ++etcd.revision;
  const std::string theirs = etcd.kv.at(kKey + "i-1").value;
  r.state = JobState::kCompleted;
  EXPECT_FALSE(fleet.publish(r, token, fleet.deadline()));
  EXPECT_EQ(etcd.kv.at(kKey + "i-1").value, theirs);
  EXPECT_FALSE(owes_fleet(r)) << "given up, not tried for ever";
  EXPECT_EQ(r.fleet_state, "TAKEN") << "and the ledger says why";
}

TEST(FleetLedger, SignsInAsItsUserAndAgainWhenTheTokenExpires) {
  FakeEtcd etcd;
  etcd.password = "pw";
  FleetPolicy p = test_policy("dock-1");
  p.user = "dock";
  p.password = "pw";
  FleetLedger fleet(p, etcd, "packer");
  ASSERT_TRUE(fleet.read("i-1", fleet.deadline()).ok());
  EXPECT_EQ(etcd.paths, (std::vector<std::string>{"/v3/auth/authenticate", "/v3/kv/range"}));
  etcd.paths.clear();
  etcd.token = "token-2";
  ASSERT_TRUE(fleet.read("i-1", fleet.deadline()).ok());
  EXPECT_EQ(etcd.paths, (std::vector<std::string>{"/v3/kv/range", "/v3/auth/authenticate", "/v3/kv/range"}));
  // A password the cluster refuses is a refusal, at once.
  etcd.password = "changed";
  etcd.token = "token-3";
  etcd.paths.clear();
  Result<std::optional<FleetRecord>> r = fleet.read("i-1", fleet.deadline());
  ASSERT_FALSE(r.ok());
  EXPECT_TRUE(has(r.error().message, "refused")) << r.error().message;
  EXPECT_EQ(etcd.paths.size(), 2u) << "not asked of every member";
}

TEST(FleetSubmit, StationsShareOnePromise) {
  FakeEtcd etcd;
  Station a(etcd, "dock-a");
  Station b(etcd, "dock-b");
  EXPECT_TRUE(has(a.handle(raw("order-1")), R"("duplicate":false)"));
  EXPECT_EQ(etcd.record(kKey + "order-1")["state"], "SUBMITTED");
  EXPECT_EQ(etcd.record(kKey + "order-1")["station"], "dock-a");
  const struct {
    const char* name;
    std::string body;
    std::string answer;
  } rows[] = {
      {"the same attempt at another station", raw("order-1"), R"("duplicate":true)"},
      {"the same id, other output", raw("order-1", "^XA^XZ"), R"("station":"dock-a")"},
      {"the other station's record is read", get_job("order-1"), R"("station":"dock-a")"},
  };
  for (const auto& row : rows) {
    const std::string reply = b.handle(row.body);
    EXPECT_TRUE(has(reply, row.answer)) << row.name << ": " << reply;
  }
  EXPECT_TRUE(has(b.handle(raw("order-1", "^XA^XZ")), "INTENT_CONFLICT"));
  EXPECT_EQ(a.printed() + b.printed(), 1);
  EXPECT_EQ(b.host.store->ledger.jobs.count("order-1"), 0u) << "another station's attempt is not this one's";

  // Claimed by a station that is printing it now (its record, as it stands
  // between the claim and the outcome).
  EXPECT_TRUE(has(a.handle(raw("order-2")), R"("duplicate":false)"));
  FakeEtcd::Kv& busy = etcd.kv.at(kKey + "order-2");
  FleetRecord mid = *parse_fleet_record(busy.value, "order-2");
  mid.record.state = JobState::kDispatching;
  busy.value = encode_fleet_record(mid);
  const std::string answer = b.handle(raw("order-2"));
  EXPECT_TRUE(has(answer, "INTENT_IN_PROGRESS")) << answer;
  EXPECT_TRUE(has(answer, R"("station":"dock-a")")) << answer;
  EXPECT_EQ(b.printed(), 0);
  EXPECT_EQ(a.printed(), 2);
}

TEST(FleetSubmit, NothingPrintsWithoutTheFleetAndARepeatTakesItsClaimUp) {
  const struct {
    const char* name;
    std::vector<Fault> faults;
    bool claim_stands;
  } rows[] = {
      {"no member reachable", {Fault::kRefuse, Fault::kRefuse, Fault::kRefuse, Fault::kRefuse, Fault::kRefuse,
                               Fault::kRefuse, Fault::kRefuse, Fault::kRefuse, Fault::kRefuse, Fault::kRefuse,
                               Fault::kRefuse, Fault::kRefuse}, false},
      // The claim was made, and neither its answer nor a read back came.
      {"claim made, unconfirmed", {Fault::kLoseAfter, Fault::kLoseBefore, Fault::kLoseBefore, Fault::kLoseBefore,
                                   Fault::kLoseBefore, Fault::kLoseBefore, Fault::kLoseBefore}, true},
  };
  for (const auto& row : rows) {
    FakeEtcd etcd;
    Station a(etcd, "dock-a");
    Station b(etcd, "dock-b");
    etcd.faults.assign(row.faults.begin(), row.faults.end());
    const std::string refused = a.handle(raw("order-9"));
    EXPECT_TRUE(has(refused, "FLEET_UNAVAILABLE")) << row.name << ": " << refused;
    EXPECT_TRUE(has(refused, "Nothing was printed")) << row.name;
    EXPECT_EQ(a.printed(), 0) << row.name;
    etcd.faults.clear();
    if (row.claim_stands) {
      // Any other station finds the claim being printed.
      const std::string other = b.handle(raw("order-9"));
      EXPECT_TRUE(has(other, "INTENT_IN_PROGRESS")) << row.name << ": " << other;
      EXPECT_EQ(b.printed(), 0) << row.name;
    }
    // The repeat from the station that tried takes its own claim up (or
    // makes it), and prints once.
    const std::string again = a.handle(raw("order-9"));
    EXPECT_TRUE(has(again, R"("duplicate":false)")) << row.name << ": " << again;
    EXPECT_TRUE(has(a.handle(raw("order-9")), R"("duplicate":true)")) << row.name;
    EXPECT_EQ(a.printed(), 1) << row.name;
    EXPECT_EQ(etcd.record(kKey + "order-9")["state"], "SUBMITTED") << row.name;
  }
}

TEST(FleetSubmit, AClaimOfAnAttemptTheLedgerNoLongerKnowsIsNeverPrintedAgain) {
  for (bool lose_answer : {false, true}) {
    FakeEtcd etcd;
    Station a(etcd, "dock-a");
    EXPECT_TRUE(has(a.handle(raw("order-7")), R"("duplicate":false)"));
    // The ledger loses the record (an older copy put back) before the fleet
    // heard the outcome: the shared record still says it is being printed.
    a.host.store->ledger.jobs.erase("order-7");
    FakeEtcd::Kv& kv = etcd.kv.at(kKey + "order-7");
    FleetRecord mid = *parse_fleet_record(kv.value, "order-7");
    mid.record.state = JobState::kDispatching;
    kv.value = encode_fleet_record(mid);
    if (lose_answer) etcd.faults = {Fault::kLoseAfter};
    const std::string answer = a.handle(raw("order-7"));
    EXPECT_TRUE(has(answer, "UNKNOWN_OUTCOME")) << lose_answer << ": " << answer;
    EXPECT_EQ(a.printed(), 1) << lose_answer;
    EXPECT_EQ(etcd.record(kKey + "order-7")["state"], "UNKNOWN") << lose_answer;
  }
}

TEST(FleetSubmit, AnOutcomeTheFleetMissedIsToldLater) {
  FakeEtcd etcd;
  Station a(etcd, "dock-a");
  // The claim is answered; the outcome's write is lost before it lands, and
  // so is the try again at the end of the request.
  etcd.faults = {Fault::kNone, Fault::kLoseBefore, Fault::kLoseBefore};
  EXPECT_TRUE(has(a.handle(raw("order-5")), R"("duplicate":false)"));
  EXPECT_EQ(etcd.record(kKey + "order-5")["state"], "DISPATCHING");
  EXPECT_TRUE(owes_fleet(a.host.store->ledger.jobs.at("order-5")));
  // The next message that uses the ledger tells it.
  a.handle(get_job("order-5"));
  EXPECT_EQ(etcd.record(kKey + "order-5")["state"], "SUBMITTED");
  EXPECT_FALSE(owes_fleet(a.host.store->ledger.jobs.at("order-5")));
  EXPECT_EQ(a.printed(), 1);
}

}  // namespace
}  // namespace tph
