#include "kivo_ne_manager/tunnel_profiles.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/fake_network_extension.h"

namespace kivo::nem {
namespace {

using ::testing::ElementsAre;
using testing::value_of;
using namespace std::chrono_literals;

TEST(EndpointHost, TakesTheHostPart) {
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {" 203.0.113.5:51820\n", "203.0.113.5"},
      {"[2001:db8::1]:51820", "2001:db8::1"},
      {"203.0.113.5", "203.0.113.5"},
      {"2001:db8::1", "2001:db8:"},  // unbracketed: the text before the last colon
      {"[2001:db8::1", std::nullopt},
      {" \t ", std::nullopt},
      {":51820", std::nullopt},
      {"[]:51820", std::nullopt},
  };
  for (const auto& [endpoint, host] : cases) EXPECT_EQ(endpoint_host(endpoint), host) << endpoint;
}

AppRule rule(const std::string& id) { return {id, "identifier \"" + id + "\"", "/Applications/" + id}; }

ConnectPayload payload(std::vector<std::string> excluded = {}) {
  return {"cGs=", "10.8.0.2/32", "10.8.0.1", "cHVi", "203.0.113.5:51820", "0.0.0.0/0", {}, {}, std::move(excluded)};
}

struct World {
  testing::FakePlatform ne;
  std::string a_executable = ne.add_app("/Applications/A.app", "com.a");
  std::string b_executable = ne.add_app("/Applications/B.app", "com.b");
  AppRuleBuilder rules{ne};
  TunnelProfiles profiles{ne, rules, ne};

  // The operation's one completion, with the run loop served until it comes; `ne.calls` are the
  // operation's own.
  Outcome run(const std::function<void(Completion)>& operation) {
    ne.calls.clear();
    std::vector<Outcome> outcomes;
    operation([&](Outcome o) { outcomes.push_back(std::move(o)); });
    for (int i = 0; i < 100 && outcomes.empty(); ++i) ne.advance(100ms);
    EXPECT_EQ(outcomes.size(), 1u);
    return outcomes.empty() ? fail("no completion") : outcomes[0];
  }
  Outcome connect(ConnectPayload p) { return run([&](Completion done) { profiles.connect(p, done); }); }
  Outcome update(AppRulePayload p) { return run([&](Completion done) { profiles.update_app_rules(p, done); }); }
  Outcome status() { return run([&](Completion done) { profiles.status(done); }); }
  Outcome disconnect() { return run([&](Completion done) { profiles.disconnect(done); }); }
};

struct Profiles : ::testing::Test, World {};


// One profile of the asked mode is configured: a new one, the same one again, one of the other
// mode replaced only once its rules are built, and the first of the mode reused while the rest go.
TEST_F(Profiles, ConnectConfiguresOneProfileOfItsModeAndRemovesTheRest) {
  EXPECT_EQ(value_of(connect(payload())), (StatusPayload{true, false, true, false, "connecting", false, 0}));
  EXPECT_THAT(ne.calls, ElementsAre("loadAll", "new", "save new", "load p1", "start p1"));
  TunnelProviderProtocol protocol{
      "com.brevandi.kivovpn.desktop.tunnel", "203.0.113.5", false, true, false,
      {{"private_key", "cGs="}, {"address", "10.8.0.2/32"}, {"dns", "10.8.0.1"}, {"peer_public_key", "cHVi"},
       {"peer_endpoint", "203.0.113.5:51820"}, {"allowed_ips", "0.0.0.0/0"}, {"mtu", std::int64_t{1280}},
       {"keepalive_seconds", std::int64_t{25}}}};
  EXPECT_EQ(*ne.stored.at(0), (testing::FakeRecord{"p1", protocol, {}, "Kivo VPN", true, kVpnConnecting}));

  ASSERT_TRUE(connect({"cGs=", "10.8.0.2/32", "10.8.0.1", "cHVi", " ", "0.0.0.0/0", 1420, 0, {}}).ok());
  EXPECT_EQ(ne.stored[0]->protocol->server_address, "Kivo VPN");
  EXPECT_EQ(ne.stored[0]->protocol->provider_configuration.at("mtu"), ConfigValue(std::int64_t{1420}));
  EXPECT_EQ(ne.stored[0]->protocol->provider_configuration.at("keepalive_seconds"), ConfigValue(std::int64_t{0}));

  // An excluded application that is not installed: nothing was removed, nothing saved.
  EXPECT_EQ(connect(payload({"/Applications/Gone.app"})).error(), "No executable found in /Applications/Gone.app.");
  EXPECT_THAT(ne.calls, ElementsAre("loadAll", "new per-app"));
  EXPECT_EQ(value_of(connect(payload({"/Applications/A.app"}))),
            (StatusPayload{true, false, true, false, "connecting", true, 1}));
  EXPECT_THAT(ne.calls, ElementsAre("loadAll", "new per-app", "remove p1", "save new", "load p2", "start p2"));
  EXPECT_THAT(ne.stored.at(0)->app_rules, ElementsAre(AppRule{"com.b", "identifier \"com.b\"", b_executable}));
  EXPECT_FALSE(ne.stored[0]->protocol->include_all_networks);

  // Back to a full tunnel, whose first profile stands behind the per-app one.
  ne.add_profile(kVpnDisconnected, {}, "com.other.vpn");  // p3, another provider's: never touched
  auto reused = ne.add_profile();                         // p4
  ne.add_profile();                                       // p5
  ASSERT_TRUE(connect(payload()).ok());
  EXPECT_THAT(ne.calls, ElementsAre("loadAll", "remove p2", "remove p5", "save p4", "load p4", "start p4"));

  // A connection of another kind is not the manager's to start.
  reused->tunnel_provider_session = false;
  reused->status = kVpnDisconnected;
  EXPECT_EQ(*connect(payload()), (StatusPayload{true, false, false, false, "disconnected", false, 0}));
  EXPECT_THAT(ne.calls, ElementsAre("loadAll", "save p4", "load p4"));
}

// Row i fails the i-th call of the chain, which ends there.
TEST(ProfileFailures, StopTheChainWithTheFrameworksDescription) {
  const std::vector<std::string> chain = {"loadAll", "remove p2", "save p1", "load p1", "start p1"};
  const std::pair<std::string, std::string> cases[] = {
      {"loadAll", "Failed to load packet tunnel preferences: boom"},
      {"remove", "Failed to remove stale tunnel preferences: boom"},
      {"save", "Failed to save packet tunnel preferences: boom"},  // the stale profile stays removed
      {"load", "Failed to reload packet tunnel preferences: boom"},
      {"start", "Failed to start packet tunnel: boom"},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& [call, error] = cases[i];
    SCOPED_TRACE(call);
    World fresh;
    fresh.ne.add_profile();
    fresh.ne.add_profile();
    fresh.ne.faults[call] = "boom";
    EXPECT_EQ(fresh.connect(payload()).error(), error);
    EXPECT_EQ(fresh.ne.calls, std::vector(chain.begin(), chain.begin() + i + 1));
  }
}

// Neither another provider's profile nor one of another protocol is Kivo's. Status and disconnect
// look at the first of Kivo's profiles; only the first per-app one is given rules, never a
// full-tunnel one, and a failed build or save leaves the stored rules as they were.
TEST_F(Profiles, StatusDisconnectAndUpdateAppRulesEachTakeTheirProfileAmongKivosOnly) {
  ne.add_profile(kVpnConnected, {}, "com.other.vpn");
  ne.add_profile(kVpnConnected)->protocol.reset();
  EXPECT_EQ(*status(), StatusPayload{});
  EXPECT_EQ(*disconnect(), StatusPayload{});
  auto first = ne.add_profile(kVpnConnected);  // p3
  EXPECT_EQ(update({{"/Applications/A.app"}}).error(), "Kivo VPN packet tunnel manager is not configured.");
  EXPECT_THAT(ne.calls, ElementsAre("loadAll"));
  auto record = ne.add_profile(kVpnDisconnected, {rule("com.old")});  // p4
  ne.add_profile(kVpnConnected, {rule("com.later")});                 // p5
  EXPECT_EQ(*status(), (StatusPayload{true, true, false, false, "connected", false, 0}));
  EXPECT_EQ(*disconnect(), (StatusPayload{true, false, false, true, "disconnecting", false, 0}));
  EXPECT_THAT(ne.calls, ElementsAre("loadAll", "stop p3"));  // the rest keep running, and every profile stays
  const std::pair<int, StatusPayload> states[] = {
      {kVpnInvalid, {true, false, false, false, "invalid", false, 0}},
      {kVpnDisconnected, {true, false, false, false, "disconnected", false, 0}},
      {kVpnReasserting, {true, false, true, false, "reasserting", false, 0}},
      {9, {true, false, false, false, "unknown", false, 0}},
  };
  for (const auto& [state, expected] : states) {
    first->status = state;
    EXPECT_EQ(*status(), expected) << state;
  }

  EXPECT_EQ(update({{"/Applications/Gone.app"}}).error(), "No executable found in /Applications/Gone.app.");
  EXPECT_THAT(ne.calls, ElementsAre("loadAll"));
  ne.faults["save"] = "boom";
  EXPECT_EQ(update({{"/Applications/A.app"}}).error(), "Failed to save packet tunnel preferences: boom");
  EXPECT_THAT(ne.calls, ElementsAre("loadAll", "save p4"));
  EXPECT_THAT(record->app_rules, ElementsAre(rule("com.old")));
  // A stopped tunnel stays stopped.
  ne.faults.clear();
  ne.add_app("/Applications/C.app", "com.c");
  EXPECT_EQ(value_of(update({{"/Applications/A.app"}})),
            (StatusPayload{true, false, false, false, "disconnected", true, 2}));
  EXPECT_THAT(ne.calls, ElementsAre("loadAll", "save p4", "load p4"));
}

// Polled every second: a tunnel going down is no longer running, and is started at once by a
// connect, without a second stop; an update leaves it as it is.
TEST_F(Profiles, ConnectAndUpdateStopARunningTunnelAndStartItOnceItIsNoLongerRunning) {
  auto record = ne.add_profile(kVpnDisconnected, {rule("com.old"), rule("com.older")});
  using Calls = std::vector<std::string>;
  const Calls restart = {"loadAll", "save p1", "load p1", "stop p1", "start p1"};
  const std::tuple<bool, int, Calls, std::string> rows[] = {
      {true, kVpnConnected, restart, "connecting"}, {true, kVpnReasserting, restart, "connecting"},
      {true, kVpnDisconnecting, {"loadAll", "save p1", "load p1", "start p1"}, "connecting"},
      {false, kVpnConnected, restart, "connecting"}, {false, kVpnReasserting, restart, "connecting"},
      {false, kVpnDisconnecting, {"loadAll", "save p1", "load p1"}, "disconnecting"},
  };
  for (const auto& [connects, state, calls, word] : rows) {
    SCOPED_TRACE(std::string(connects ? "connect " : "update ") + std::to_string(state));
    ne.advance(5000ms);  // the last round's stop is over
    record->status = state;
    auto began = ne.elapsed();
    auto answer = value_of(connects ? connect(payload({"/Applications/A.app"})) : update({{"/Applications/A.app"}}));
    EXPECT_EQ(answer.status, word);
    EXPECT_EQ(answer.app_rule_count, 1u);  // the new rules
    EXPECT_EQ(ne.calls, calls);
    // The run loop is served in 100 ms steps, so the time the answer took is exact here.
    EXPECT_EQ(ne.elapsed() - began, calls == restart ? 1000ms : 0ms);
  }
}

}  // namespace
}  // namespace kivo::nem
