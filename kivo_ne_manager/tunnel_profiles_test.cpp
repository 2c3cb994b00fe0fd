#include "kivo_ne_manager/tunnel_profiles.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/fake_network_extension.h"

namespace kivo::nem {
namespace {

using ::testing::ElementsAre;
using testing::FakePlatform;
using namespace std::chrono_literals;

TEST(EndpointHost, TakesTheHostPart) {
  struct {
    std::string endpoint;
    std::optional<std::string> host;
  } cases[] = {
      {" 203.0.113.5:51820\n", "203.0.113.5"},
      {"[2001:db8::1]:51820", "2001:db8::1"},
      {"203.0.113.5", "203.0.113.5"},
      {"vpn.example.com:443", "vpn.example.com"},
      {"2001:db8::1", "2001:db8:"},  // unbracketed: the text before the last colon
      {"[2001:db8::1", std::nullopt},
      {"", std::nullopt},
      {" \t ", std::nullopt},
      {":51820", std::nullopt},
      {"[]:51820", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(endpoint_host(c.endpoint), c.host) << c.endpoint;
}

AppRule rule(const std::string& id) { return {id, "identifier \"" + id + "\"", "/Applications/" + id}; }

ConnectPayload payload(std::vector<std::string> excluded = {}) {
  ConnectPayload p{"cGs=", "10.8.0.2/32", "10.8.0.1", "cHVi", "203.0.113.5:51820", "0.0.0.0/0"};
  p.excluded_apps = std::move(excluded);
  return p;
}

struct World {
  FakePlatform ne;
  AppRuleBuilder rules{ne};
  TunnelProfiles profiles{ne, rules, ne};
};

struct Profiles : ::testing::Test, World {

  Outcome run(const std::function<void(Completion)>& operation) {
    std::optional<Outcome> outcome;
    int calls = 0;
    operation([&](Outcome o) {
      ++calls;
      outcome = std::move(o);
    });
    for (int i = 0; i < 100 && !outcome; ++i) ne.advance(100ms);
    EXPECT_EQ(calls, 1);
    return outcome.value_or(fail("no completion"));
  }
  Outcome connect(ConnectPayload p) {
    return run([&](Completion done) { profiles.connect(std::move(p), std::move(done)); });
  }
  Outcome update(std::vector<std::string> excluded) {
    return run([&](Completion done) { profiles.update_app_rules({std::move(excluded)}, std::move(done)); });
  }
  // Two installed applications, B signed, and A to exclude.
  void install_apps() {
    ne.add_app("/Applications/A.app", "com.a");
    ne.add_app("/Applications/B.app", "com.b");
  }
};

StatusPayload connecting(std::uint64_t rules = 0) { return {true, false, true, false, "connecting", rules != 0, rules}; }

TEST_F(Profiles, ConnectWritesTheProfileAndItsProviderConfiguration) {
  auto answer = connect(payload());
  ASSERT_TRUE(answer.ok()) << answer.error();
  EXPECT_EQ(*answer, connecting());
  EXPECT_THAT(ne.calls, ElementsAre("loadAll", "new", "save new", "load p1", "start p1"));
  ASSERT_EQ(ne.stored.size(), 1u);
  const auto& saved = *ne.stored[0];
  EXPECT_EQ(saved.localized_description, "Kivo VPN");
  EXPECT_TRUE(saved.enabled);
  EXPECT_TRUE(saved.app_rules.empty());
  TunnelProviderProtocol expected{
      "com.brevandi.kivovpn.desktop.tunnel", "203.0.113.5", false, true, false,
      {{"private_key", "cGs="}, {"address", "10.8.0.2/32"}, {"dns", "10.8.0.1"}, {"peer_public_key", "cHVi"},
       {"peer_endpoint", "203.0.113.5:51820"}, {"allowed_ips", "0.0.0.0/0"}, {"mtu", std::int64_t{1280}},
       {"keepalive_seconds", std::int64_t{25}}}};
  EXPECT_EQ(saved.protocol, expected);

  auto p = payload();
  p.peer_endpoint = " ";
  p.mtu = 1420;
  p.keepalive_seconds = 0;
  ASSERT_TRUE(connect(p).ok());
  EXPECT_EQ(ne.stored[0]->protocol->server_address, "Kivo VPN");
  EXPECT_EQ(ne.stored[0]->protocol->provider_configuration.at("mtu"), ConfigValue(std::int64_t{1420}));
  EXPECT_EQ(ne.stored[0]->protocol->provider_configuration.at("keepalive_seconds"), ConfigValue(std::int64_t{0}));
}

TEST_F(Profiles, ConnectReusesTheFirstProfileOfItsModeAndRemovesTheRestFirst) {
  ne.add_profile(kVpnDisconnected, {}, "com.other.vpn");  // another provider's: never touched
  ne.add_profile(kVpnDisconnected, {rule("com.old")});    // p2, per-app
  ne.add_profile();                                       // p3, full tunnel: reused
  ne.add_profile();                                       // p4
  ASSERT_TRUE(connect(payload()).ok());
  EXPECT_THAT(ne.calls, ElementsAre("loadAll", "remove p2", "remove p4", "save p3", "load p3", "start p3"));
  ASSERT_EQ(ne.stored.size(), 2u);
  EXPECT_EQ(ne.stored[1]->name, "p3");

  // A connection of another kind is not the manager's to start.
  ne.stored[1]->tunnel_provider_session = false;
  ne.stored[1]->status = kVpnDisconnected;
  ne.calls.clear();
  EXPECT_EQ(*connect(payload()), (StatusPayload{true, false, false, false, "disconnected", false, 0}));
  EXPECT_THAT(ne.calls, ElementsAre("loadAll", "save p3", "load p3"));
}

TEST_F(Profiles, PerAppConnectReplacesTheFullTunnelProfileOnlyOnceItsRulesAreBuilt) {
  install_apps();
  ne.add_profile(kVpnConnected);
  // An excluded application that is not installed: nothing was removed, nothing saved.
  EXPECT_EQ(connect(payload({"/Applications/Gone.app"})).error(), "No executable found in /Applications/Gone.app.");
  EXPECT_THAT(ne.calls, ElementsAre("loadAll", "new per-app"));
  EXPECT_EQ(ne.stored.size(), 1u);
  ne.calls.clear();
  auto answer = connect(payload({"/Applications/A.app"}));
  ASSERT_TRUE(answer.ok()) << answer.error();
  EXPECT_EQ(*answer, connecting(1));
  EXPECT_THAT(ne.calls, ElementsAre("loadAll", "new per-app", "remove p1", "save new", "load p2", "start p2"));
  ASSERT_EQ(ne.stored.size(), 1u);
  EXPECT_THAT(ne.stored[0]->app_rules, ElementsAre(AppRule{"com.b", "identifier \"com.b\"", "/Applications/B.app/Contents/MacOS/Main"}));
  EXPECT_FALSE(ne.stored[0]->protocol->include_all_networks);
  EXPECT_TRUE(ne.stored[0]->per_app_class);
}

// Polled every second: a tunnel going down is no longer connected or connecting, and is
// started at once, without a second stop.
TEST_F(Profiles, ConnectStopsARunningTunnelAndStartsItOnceItIsNoLongerRunning) {
  auto record = ne.add_profile();
  ne.stop_takes = 2500ms;
  for (int state : {kVpnConnected, kVpnReasserting, kVpnDisconnecting}) {
    SCOPED_TRACE(state);
    ne.advance(5000ms);  // the last round's stop is over
    record->status = state;
    ne.calls.clear();
    ne.status_reads.clear();
    auto began = ne.elapsed();
    ASSERT_TRUE(connect(payload()).ok());
    std::vector<std::chrono::milliseconds> reads;
    for (auto read : ne.status_reads) reads.push_back(read - began);
    if (state == kVpnDisconnecting) {
      EXPECT_THAT(ne.calls, ElementsAre("loadAll", "save p1", "load p1", "start p1"));
      EXPECT_THAT(reads, ElementsAre(0ms, 0ms));
    } else {
      EXPECT_THAT(ne.calls, ElementsAre("loadAll", "save p1", "load p1", "stop p1", "start p1"));
      EXPECT_THAT(reads, ElementsAre(0ms, 1000ms, 1000ms));
    }
  }
}

TEST_F(Profiles, FailuresStopTheChainWithTheFrameworksDescription) {
  struct {
    std::string call, error;
    std::vector<std::string> calls;
    size_t left;
  } cases[] = {
      {"loadAll", "Failed to load packet tunnel preferences: boom", {"loadAll"}, 2},
      {"remove", "Failed to remove stale tunnel preferences: boom", {"loadAll", "remove p2"}, 2},
      // The stale profile stays removed when the save fails.
      {"save", "Failed to save packet tunnel preferences: boom", {"loadAll", "remove p2", "save p1"}, 1},
      {"load", "Failed to reload packet tunnel preferences: boom", {"loadAll", "remove p2", "save p1", "load p1"}, 1},
      {"start", "Failed to start packet tunnel: boom", {"loadAll", "remove p2", "save p1", "load p1", "start p1"}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.call);
    World fresh;
    fresh.ne.add_profile();
    fresh.ne.add_profile();
    fresh.ne.faults[c.call] = "boom";
    std::optional<Outcome> outcome;
    fresh.profiles.connect(payload(), [&](Outcome o) { outcome = o; });
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->error(), c.error);
    EXPECT_EQ(fresh.ne.calls, c.calls);
    EXPECT_EQ(fresh.ne.stored.size(), c.left);
  }
}

TEST_F(Profiles, StatusAndDisconnectLookAtTheFirstOfKivosProfilesOnly) {
  auto status = [&] { return run([&](Completion done) { profiles.status(std::move(done)); }); };
  auto disconnect = [&] { return run([&](Completion done) { profiles.disconnect(std::move(done)); }); };
  // Neither another provider's profile nor one of another protocol is Kivo's.
  ne.add_profile(kVpnConnected, {}, "com.other.vpn");
  ne.add_profile(kVpnConnected)->protocol.reset();
  EXPECT_EQ(*status(), StatusPayload{});
  EXPECT_EQ(*disconnect(), StatusPayload{});
  ne.stored.clear();
  ne.add_profile(kVpnConnected, {rule("com.a"), rule("com.b")});
  ne.add_profile(kVpnConnected);
  EXPECT_EQ(*status(), (StatusPayload{true, true, false, false, "connected", true, 2}));
  EXPECT_EQ(*disconnect(), (StatusPayload{true, false, false, true, "disconnecting", true, 2}));
  EXPECT_EQ(ne.stored[1]->status, kVpnConnected);
  const std::pair<int, StatusPayload> states[] = {
      {kVpnInvalid, {true, false, false, false, "invalid", false, 0}},
      {kVpnDisconnected, {true, false, false, false, "disconnected", false, 0}},
      {kVpnReasserting, {true, false, true, false, "reasserting", false, 0}},
      {9, {true, false, false, false, "unknown", false, 0}},
  };
  ne.stored.erase(ne.stored.begin());
  for (const auto& [state, expected] : states) {
    ne.stored[0]->status = state;
    EXPECT_EQ(*status(), expected) << state;
  }
}

TEST_F(Profiles, AFailedRuleUpdateLeavesTheStoredRules) {
  install_apps();
  ne.add_profile(kVpnConnected);
  EXPECT_EQ(update({"/Applications/A.app"}).error(), "Kivo VPN packet tunnel manager is not configured.");
  auto record = ne.add_profile(kVpnDisconnected, {rule("com.old")});
  EXPECT_EQ(update({"/Applications/Gone.app"}).error(), "No executable found in /Applications/Gone.app.");
  ne.faults["save"] = "boom";
  EXPECT_EQ(update({"/Applications/A.app"}).error(), "Failed to save packet tunnel preferences: boom");
  EXPECT_THAT(ne.calls, ElementsAre("loadAll", "loadAll", "loadAll", "save p2"));
  EXPECT_THAT(record->app_rules, ElementsAre(rule("com.old")));
  EXPECT_TRUE(ne.stored[0]->app_rules.empty());  // a full-tunnel profile is never given rules
}

TEST_F(Profiles, UpdateAppRulesRestartsOnlyARunningTunnel) {
  install_apps();
  ne.add_app("/Applications/C.app", "com.c");
  ne.add_profile(kVpnConnected);  // p1, full tunnel: never given rules here
  auto record = ne.add_profile(kVpnDisconnected, {rule("com.old")});
  auto later = ne.add_profile(kVpnDisconnected, {rule("com.later")});
  auto answer = update({"/Applications/A.app"});
  ASSERT_TRUE(answer.ok()) << answer.error();
  EXPECT_EQ(*answer, (StatusPayload{true, false, false, false, "disconnected", true, 2}));
  EXPECT_THAT(ne.calls, ElementsAre("loadAll", "save p2", "load p2"));
  EXPECT_EQ(record->app_rules.size(), 2u);
  EXPECT_THAT(later->app_rules, ElementsAre(rule("com.later")));

  ne.stop_takes = 500ms;
  for (int running : {kVpnConnected, kVpnReasserting}) {
    ne.calls.clear();
    ne.advance(5000ms);
    record->status = running;
    auto started_at = ne.elapsed();
    answer = update({"/Applications/A.app", "/Applications/B.app"});
    ASSERT_TRUE(answer.ok()) << answer.error();
    EXPECT_EQ(*answer, connecting(1));
    EXPECT_THAT(ne.calls, ElementsAre("loadAll", "save p2", "load p2", "stop p2", "start p2")) << running;
    EXPECT_EQ(ne.status_reads.back() - started_at, 1000ms);
  }
}

}  // namespace
}  // namespace kivo::nem
