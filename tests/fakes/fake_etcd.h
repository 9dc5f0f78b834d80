#pragma once
// An etcd cluster in memory, as the fleet's link sees it: the JSON gateway's
// sign-in, range and transaction calls with their revision rules, and the
// ways a real cluster fails a request (never reached, lost before it is
// applied, applied but its answer lost).

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/fleet_link.h"
#include "support/base64.h"

namespace tph::testing {

class FakeEtcd : public FleetLink {
 public:
  struct Kv {
    std::string value;
    uint64_t create = 0;
    uint64_t mod = 0;
  };
  enum class Fault { kNone, kRefuse, kLoseBefore, kLoseAfter };

  std::map<std::string, Kv> kv;
  uint64_t revision = 1;
  // What befalls the next requests, one each, in order.
  std::deque<Fault> faults;
  // Every request is refused (no member reachable).
  bool down = false;
  // When set, requests need the token a sign-in with this password gives.
  std::string password;
  // The token a sign-in gives now; another makes the ones given before expire.
  std::string token = "token-1";
  std::vector<std::string> paths;

  OsResult<HttpAnswer> post(const std::string& url, const std::string& body, const std::string& authorization,
                            uint32_t) override {
    using Json = nlohmann::json;
    const std::string path = url.substr(url.find("/v3/"));
    paths.push_back(path);
    if (down) return OsStatus::Fail(111, "refused", OsErrorKind::kRefused);
    std::optional<Fault> fault;
    if (!faults.empty()) {
      fault = faults.front();
      faults.pop_front();
    }
    if (fault == Fault::kRefuse) return OsStatus::Fail(111, "refused", OsErrorKind::kRefused);
    if (fault == Fault::kLoseBefore) return OsStatus::Fail(110, "timed out", OsErrorKind::kTimedOut);
    const Json in = Json::parse(body);
    Json out;
    if (path == "/v3/auth/authenticate") {
      if (in.value("password", "") != password) {
        return HttpAnswer{400, R"({"error":"etcdserver: authentication failed, invalid user ID or password","code":3})"};
      }
      out = {{"token", token}};
    } else if (!password.empty() && authorization != token) {
      return HttpAnswer{401, R"({"error":"etcdserver: invalid auth token","code":16})"};
    } else if (path == "/v3/kv/range") {
      out = range(in);
    } else if (path == "/v3/kv/txn") {
      out = txn(in);
    }
    out["header"]["revision"] = std::to_string(revision);
    if (fault == Fault::kLoseAfter) return OsStatus::Fail(110, "timed out", OsErrorKind::kTimedOut);
    return HttpAnswer{200, out.dump()};
  }

  // The stored record of a key, as JSON.
  nlohmann::json record(const std::string& key) const { return nlohmann::json::parse(kv.at(key).value); }

 private:
  static std::string key_of(const nlohmann::json& j, const char* name) {
    return *decode_base64_strict(j.at(name).get<std::string>());
  }

  nlohmann::json kv_json(const std::string& key, const Kv& v) const {
    return {{"key", encode_base64(key)}, {"value", encode_base64(v.value)},
            {"create_revision", std::to_string(v.create)}, {"mod_revision", std::to_string(v.mod)}};
  }

  nlohmann::json range(const nlohmann::json& in) {
    nlohmann::json kvs = nlohmann::json::array();
    const std::string from = key_of(in, "key");
    std::vector<std::pair<std::string, Kv>> found;
    if (in.contains("range_end")) {
      const std::string to = key_of(in, "range_end");
      for (auto it = kv.lower_bound(from); it != kv.end() && it->first < to; ++it) found.push_back(*it);
    } else if (kv.count(from)) {
      found.emplace_back(from, kv.at(from));
    }
    if (in.value("sort_order", "") == "DESCEND") {
      std::sort(found.begin(), found.end(), [](auto& a, auto& b) { return a.second.create > b.second.create; });
    }
    const size_t limit = in.contains("limit") ? std::stoul(in["limit"].get<std::string>()) : found.size();
    for (size_t i = 0; i < found.size() && i < limit; ++i) kvs.push_back(kv_json(found[i].first, found[i].second));
    nlohmann::json out = {{"count", std::to_string(found.size())}};
    if (!kvs.empty()) out["kvs"] = kvs;
    return out;
  }

  nlohmann::json txn(const nlohmann::json& in) {
    bool ok = true;
    for (const auto& c : in.at("compare")) {
      auto it = kv.find(key_of(c, "key"));
      const std::string target = c.at("target");
      const uint64_t have = it == kv.end() ? 0 : target == "CREATE" ? it->second.create : it->second.mod;
      const uint64_t want = std::stoull(c.at(target == "CREATE" ? "create_revision" : "mod_revision").get<std::string>());
      ok = ok && have == want;
    }
    nlohmann::json responses = nlohmann::json::array();
    for (const auto& op : in.at(ok ? "success" : "failure")) {
      if (op.contains("request_put")) {
        const std::string key = key_of(op["request_put"], "key");
        ++revision;
        Kv& v = kv[key];
        if (v.create == 0) v.create = revision;
        v.mod = revision;
        v.value = *decode_base64_strict(op["request_put"]["value"].get<std::string>());
        responses.push_back({{"response_put", nlohmann::json::object()}});
      } else {
        responses.push_back({{"response_range", range(op["request_range"])}});
      }
    }
    nlohmann::json out = {{"responses", responses}};
    if (ok) out["succeeded"] = true;  // proto3 JSON leaves false out
    return out;
  }
};

}  // namespace tph::testing
