#include "steering/packet_steering_engine.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "testing/fake_env.h"
#include "testing/fake_route_table.h"
#include "tunnel/runtime_state.h"

namespace kivo {
namespace {

using ::testing::AllOf;
using ::testing::Contains;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using Lines = std::vector<std::string>;
using Ends = std::vector<std::pair<std::string, std::string>>;
using Kernel = std::map<std::string, std::string>;
using protocol::HelperCustomSplitTrackedApp;

const std::string kApp = "/Applications/Firefox.app";
const std::string kOtherApp = "/Applications/Mail.app";
const std::string kGw = "192.0.2.1";
const std::string kNettop = "nettop -n -L 1 -p 4711";
const std::string kV6Default = "route -n get -inet6 default";
const CommandResult kV6Answer("   route to: default\n    gateway: fe80::1%en0\n");
const std::vector<HelperCustomSplitTrackedApp> kFirefox = {{"Firefox", kApp + "/Contents/MacOS/firefox", {4711}}};

class EngineTest : public ::testing::Test {
 protected:
  EngineTest() { env.existing_paths = {kApp, kOtherApp}; }

  Result<PacketSteeringEngineReport> stage(std::vector<std::string> apps = {kApp},
                                           std::vector<std::string> routes = {}, bool allow_lan = false) {
    return engine.stage_packet_steering_engine(apps, routes, kGw, allow_lan);
  }
  // A freshly staged engine whose first snapshot (generation 1) saw the excluded process talk to
  // `ends` ("host:port", "utun…" or "en0"): what that update reported, and the commands since the stage.
  PacketSteeringEngineReport live(const Ends& ends, std::vector<std::string> apps = {kApp},
                                  std::vector<std::string> routes = {}, bool allow_lan = false) {
    env.files.erase(kPacketSteeringStatePath);
    table.intercept(kV6Default, {kV6Answer});
    EXPECT_TRUE(stage(apps, routes, allow_lan).ok());
    std::string out = "time,,interface,state\n10:00:00.0,firefox.4711,,\n";
    for (const auto& [remote, iface] : ends) out += "10:00:00.0,tcp4 192.0.2.2:50000<->" + remote + "," + iface + ",\n";
    env.script_ok(kNettop, out);
    env.clear_commands();
    auto updated = engine.update_packet_steering_pids(1, kFirefox);
    EXPECT_TRUE(updated.ok()) << updated.error();
    return *updated;  // throws, failing the test, when there is no report
  }
  HelperPacketSteeringEngineState saved() { return *read_packet_steering_state(env); }

  testing::FakeEnv env;
  testing::FakeRouteTable table{env};
  SplitBypass split{env};
  PacketSteeringEngine engine{env, split};
};

TEST_F(EngineTest, StageChecksItsInputWaitsForTheFirstSnapshotAndHoldsNoRequestUpWhileProbing) {
  const struct { std::vector<std::string> apps, routes; std::string gateway, error; } refused[] = {
      {{kApp}, {}, "gateway", "Invalid IP provided: gateway"},
      {{kApp, "/Applications/Gone.app"}, {}, kGw, "Packet steering app path does not exist: /Applications/Gone.app"},
      {{kApp}, {"1.2.3.0/24", "1.2.3.0/33"}, kGw, "CIDR prefix out of range in '1.2.3.0/33'"},
      {{kApp}, {"::ffff:1.2.3.4/129"}, kGw, "Invalid IPv6 route '::ffff:1.2.3.4/129'"},  // IPv4-mapped too
      {{kApp}, {"2001:db8::/x"}, kGw, "Invalid IPv6 route '2001:db8::/x'"},
      {{kApp}, {"2001:db8::/0"}, kGw, "CIDR /0 is not allowed for split bypass"},
      // Whatever is not an IPv6 address gets the split bypass normaliser's words (NormalizeSplitRoute).
      {{kApp}, {"fe80::1%en0"}, kGw, "Invalid IPv4 host route 'fe80::1%en0'"},
  };
  for (const auto& c : refused)
    EXPECT_EQ(engine.stage_packet_steering_engine(c.apps, c.routes, c.gateway, false).error(), c.error);
  EXPECT_FALSE(env.files.count(kPacketSteeringStatePath));

  table.intercept(kV6Default, {kV6Answer});
  // IPv4 as split bypass takes it, IPv6 canonically.
  auto staged = stage({kApp, kOtherApp, kApp},
                      {"1.2.3.9/24", " 2001:DB8:0:1::5/32 ", "1.2.3.0/24", "2001:db8:ffff::1/33", "2001:DB8::1", "2001:db8::7/128"},
                      true);
  ASSERT_TRUE(staged.ok()) << staged.error();
  EXPECT_EQ(staged->note,
            "Packet steering engine staged. Waiting for the first excluded-process snapshot before diagnostics "
            "become active.");
  EXPECT_EQ(std::tuple(staged->active, staged->app_count, staged->diagnostics),
            std::tuple(false, std::uint64_t{2}, HelperPacketSteeringDiagnostics{}));  // no pass has run
  // The plan is staged (its summary is EnforcementPlan's), so the first snapshot makes revision 2.
  auto state = saved();
  EXPECT_EQ(state.app_paths, (Lines{kApp, kOtherApp}));
  EXPECT_EQ(state.routes, (Lines{"1.2.3.0/24", "2001:db8::/32", "2001:db8:8000::/33", "2001:db8::1", "2001:db8::7/128"}));
  EXPECT_EQ(state.static_bypass_routes_ipv4,
            (Lines{"1.2.3.0/24", "10.0.0.0/8", "169.254.0.0/16", "172.16.0.0/12", "192.168.0.0/16"}));

  // A stage waiting for its IPv6 gateway probe holds no other request up.
  std::future<bool> verify;
  auto routes_handler = env.handler;
  env.handler = [&](const std::string& line) -> std::optional<CommandResult> {
    if (line == kV6Default && !verify.valid()) {
      verify = std::async(std::launch::async, [&] { return engine.verify_packet_steering_engine().ok(); });
      EXPECT_EQ(verify.wait_for(std::chrono::seconds(2)), std::future_status::ready);  // answered meanwhile
    }
    return routes_handler(line);
  };
  ASSERT_TRUE(stage().ok());
  EXPECT_TRUE(verify.get());  // throws, failing the test, had the stage not probed
}

TEST_F(EngineTest, ASnapshotSteersItsPublicHostsAroundTheTunnelAndRecyclesStuckFlows) {
  auto updated = live({{"17.1.2.3:443", "utun200"}, {"192.168.1.9:22", "en0"}, {"[2606:4700::1]:443", "en0"}});
  EXPECT_THAT(env.commands(), ElementsAre(kNettop, "route -n add -host 17.1.2.3 192.0.2.1",
                                          "route -n add -inet6 -host 2606:4700::1 fe80::1%en0",
                                          "pfctl -k 0.0.0.0/0 -k 17.1.2.3"));
  // Revision 2: staged, then the first snapshot.
  EXPECT_EQ(std::tuple(updated.active, updated.route_count, updated.diagnostics.enforcement_plan_revision),
            std::tuple(true, std::uint64_t{2}, std::uint64_t{2}));
  EXPECT_THAT(updated.note, ::testing::StartsWith("Packet steering engine diagnostics are live. observer=nettop "
                                                  "PID generation=1 tracked_processes=1 ipv4_flows=1 ipv6_flows=1"));
  EXPECT_THAT(updated.note, HasSubstr("recycled_tunnel_ipv4_hosts=1 recycled_tunnel_ipv6_hosts=0 plan_ready=true "));
  auto state = saved();
  EXPECT_EQ(std::tuple(state.applied_bypass_routes_ipv4, state.applied_bypass_routes_ipv6, state.engine_last_error),
            std::tuple(Lines{"17.1.2.3"}, Lines{"2606:4700::1"}, std::nullopt));
  EXPECT_EQ(std::pair(state.diagnostics.applied_bypass_routes_ipv4, state.diagnostics.applied_bypass_routes_ipv6),
            std::pair(std::uint64_t{1}, std::uint64_t{1}));

  // The same picture a second later changes nothing in the kernel; that it then keeps the plan's
  // revision is SteeringDiagnostics.OnlyANewPictureRaisesThePlansRevision.
  env.epoch_seconds += 1;
  env.clear_commands();
  auto verified = engine.verify_packet_steering_engine();
  EXPECT_THAT(env.commands(), ElementsAre(kNettop, "route -n get 17.1.2.3", "route -n get -inet6 2606:4700::1"));
  EXPECT_EQ(verified.value().diagnostics.enforcement_plan_revision, 3u);  // the recycle count went back to 0
}

TEST_F(EngineTest, WhenSnapshotsStopOrNameNoProcessTheEnginesRoutesGoButNotSplitBypassOnes) {
  env.files[kSplitStatePath] = encode_split_state({{"10.0.0.0/8"}, kGw, 1});
  table.set("10.0.0.0/8", kGw);
  for (bool no_pids : {false, true}) {
    SCOPED_TRACE(no_pids ? "a fresh snapshot with no PIDs" : "16 s without a snapshot");
    // The split-owned route in place counts as applied, as the tunnel server's does in
    // TheTunnelsOwnRoutesAreNeverTakenOver; the withdrawal below must still leave it.
    live({{"17.1.2.3:443", "en0"}, {"[2606:4700::1]:443", "en0"}}, {kApp}, {}, /*allow_lan=*/true);
    EXPECT_EQ(table.routes().count("17.1.2.3") + table.routes().count("2606:4700::1"), 2u);

    env.clear_commands();
    if (no_pids) {
      EXPECT_TRUE(engine.update_packet_steering_pids(2, {{"Firefox", kFirefox[0].exe_path, {}}}).ok());
      EXPECT_THAT(env.commands_of("nettop"), IsEmpty());
    } else {
      env.epoch_seconds += 16;
      EXPECT_EQ(engine.reconcile_packet_steering_engine_runtime(), std::nullopt);
      EXPECT_FALSE(engine.verify_packet_steering_engine()->active);
    }
    EXPECT_EQ(table.routes(), (Kernel{{"10.0.0.0/8", kGw}}));  // the split-owned route was never deleted
    EXPECT_THAT(saved().applied_bypass_routes_ipv4, IsEmpty());
    EXPECT_THAT(saved().applied_bypass_routes_ipv6, IsEmpty());
    EXPECT_EQ(saved().engine_last_error, std::nullopt);  // no PIDs to observe is no failure
  }
}

// No step of a pass is skipped for an earlier one's failure; the record holds them all.
TEST_F(EngineTest, APassJoinsItsObservationRouteAndRecycleErrors) {
  table.intercept("route -n add -host 17.4.5.6 192.0.2.1", {CommandResult(fail("route: bad address: 17.4.5.6"))});
  env.script_fail("pfctl -k 0.0.0.0/0 -k 17.1.2.3", "pfctl: Operation not permitted");
  live({{"17.1.2.3:443", "utun200"}, {"17.4.5.6:443", "en0"}, {"17.9.9.9:443", "en0"}, {"[2606:4700::1]:443", "en0"}});
  EXPECT_EQ(saved().engine_last_error,
            "Failed adding packet steering route 17.4.5.6: route: bad address: 17.4.5.6 | Failed recycling stale IPv4 "
            "tunnel flow 17.1.2.3: pfctl: Operation not permitted");

  // A failed observation withdraws every engine route while the snapshot is still fresh. A recycle
  // is due again (12 s), but neither a pass that is not allowed nor a host without its route
  // recycles anything: Recycle.EachBypassedTunnelHostAtMostEveryTwelveSecondsWithItsErrorsReportedPerHost.
  env.epoch_seconds += 13;
  env.script_fail(kNettop, "nettop timed out after 3500 ms");
  env.script_fail("lsof -n -P -a -i -p 4711", "lsof timed out after 1500 ms");
  table.intercept("route -n delete -host 17.9.9.9 192.0.2.1", {CommandResult(fail("Operation not permitted"))});
  env.clear_commands();
  std::string error =
      "Failed to inspect packet steering flows via nettop (Failed to inspect packet steering flows via nettop: "
      "nettop timed out after 3500 ms) or lsof (Failed to inspect packet steering flows via lsof: lsof timed out "
      "after 1500 ms) | Failed removing packet steering route 17.9.9.9: Operation not permitted";
  EXPECT_EQ(engine.reconcile_packet_steering_engine_runtime(), error);  // the saved record's, as below
  EXPECT_EQ(table.routes(), (Kernel{{"17.9.9.9", kGw}}));
  EXPECT_EQ(saved().applied_bypass_routes_ipv4, Lines{"17.9.9.9"});

  // A stage for another configuration (gateway) takes the old routes away all the same.
  ASSERT_TRUE(engine.stage_packet_steering_engine({kApp}, {}, "192.0.2.254", false).ok());
  EXPECT_THAT(table.routes(), IsEmpty());
}

// Where a stage that does not reuse a snapshot takes its learning from: a matching record first
// (recycle attempts too), else a matching cache; what is older than 45 s is dropped either way.
TEST_F(EngineTest, AStageLearnsFromAMatchingRecordElseFromAMatchingCache) {
  const std::uint64_t now = env.epoch_seconds;
  const LastSeenMap kFresh = {{"17.1.2.3", now - 1}}, kCached = {{"9.9.9.9", now - 45}};
  HelperPacketSteeringEngineState matching{
      .app_paths = {kApp}, .gateway = kGw, .pid_generation = 3, .tracked_apps = kFirefox, .updated_at = now - 1,
      .candidate_route_last_seen_at_ipv4 = kFresh, .tunnel_flow_recycle_last_attempt_at_ipv4 = kFresh};
  PacketSteeringCacheState cache{.app_paths = {kApp}, .gateway = kGw, .ipv6_gateway = "fe80::9%en0",
                                 .candidate_route_last_seen_at_ipv4 = {{"9.9.9.9", now - 45}, {"8.8.8.8", now - 46}}};
  auto erred = matching, aged = matching, other = matching, elsewhere = matching;
  erred.engine_last_error = "boom";
  aged.updated_at = now - 16;
  other.app_paths = {kOtherApp};
  elsewhere.gateway = "192.0.2.254";
  const struct {
    const char* name;
    std::optional<HelperPacketSteeringEngineState> record;
    LastSeenMap candidates, attempts;
    std::optional<std::string> ipv6_gateway;  // none: the route table has no IPv6 default to name
  } cases[] = {
      {"a matching record with an error", erred, kFresh, kFresh, "fe80::1%en0"},
      {"a matching record 16 s old", aged, kFresh, kFresh, "fe80::1%en0"},
      {"a record for other apps: the cache, whatever its IPv6 gateway", other, kCached, {}, "fe80::1%en0"},
      {"a record through another gateway: the cache", elsewhere, kCached, {}, "fe80::1%en0"},
      {"no record and no IPv6 gateway", std::nullopt, kCached, {}, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    env.files.erase(kPacketSteeringStatePath);
    ASSERT_TRUE(!c.record || save_packet_steering_state(env, *c.record).ok());
    ASSERT_TRUE(save_packet_steering_cache(env, cache).ok());
    if (c.ipv6_gateway) table.intercept(kV6Default, {kV6Answer});
    auto staged = stage();
    ASSERT_TRUE(staged.ok()) << staged.error();
    EXPECT_EQ(staged->note, "Packet steering engine staged. Reusing 1 cached IPv4 routes and 0 cached IPv6 routes "
                            "while waiting for the first excluded-process snapshot.");
    auto state = saved();  // its snapshot not reused, as the note says
    EXPECT_EQ(state.candidate_route_last_seen_at_ipv4, c.candidates);
    EXPECT_EQ(state.tunnel_flow_recycle_last_attempt_at_ipv4, c.attempts);
    EXPECT_EQ(state.ipv6_gateway, c.ipv6_gateway);
  }
}

TEST_F(EngineTest, StagingAgainKeepsWhatWasLearnedAndRestoreKeepsItForTheNextStage) {
  live({{"17.1.2.3:443", "en0"}, {"17.4.5.6:443", "en0"}}, {kApp, kOtherApp}, {"1.2.3.0/24", "5.6.7.8"});

  // Within 16 s the snapshot is reused: one pass puts the routes back that the stage cleared.
  env.epoch_seconds += 5;
  env.clear_commands();
  auto again = stage({kOtherApp, kApp}, {"5.6.7.8", "1.2.3.0/24"});
  EXPECT_EQ(again.value().note,
            "Packet steering engine staged. Reusing a fresh excluded-process snapshot with 1 tracked processes, 2 "
            "cached IPv4 routes, and 0 cached IPv6 routes.");
  EXPECT_THAT(env.commands(), Contains("route -n delete -host 17.1.2.3 192.0.2.1"));
  EXPECT_EQ(saved().applied_bypass_routes_ipv4, (Lines{"1.2.3.0/24", "17.1.2.3", "17.4.5.6", "5.6.7.8"}));

  // Split bypass recorded one of them too: its restore leaves what the engine relies on (and the
  // restage above put back).
  env.files[kSplitStatePath] = encode_split_state({{"17.1.2.3"}, kGw, 1});
  EXPECT_EQ(*split.restore_split_bypass(), 1u);
  EXPECT_EQ(table.routes().count("17.1.2.3"), 1u);
  auto restored = engine.restore_packet_steering_engine();
  EXPECT_EQ(std::tuple(restored.app_count, restored.route_count, restored.diagnostics.candidate_bypass_routes_ipv4),
            std::tuple(std::uint64_t{2}, std::uint64_t{4}, std::uint64_t{2}));
  // That the record is gone is SteeringServer's verify after restore.
  EXPECT_THAT(table.routes(), IsEmpty());
  EXPECT_EQ(read_packet_steering_cache(env)->saved_at, env.epoch_seconds);

  // The next stage learns from that cache (the note it then gives is checked by the stage-learning
  // table, AStageLearnsFromAMatchingRecordElseFromAMatchingCache).
  ASSERT_TRUE(stage({kApp, kOtherApp}, {"5.6.7.8", "1.2.3.0/24"}).ok());
  EXPECT_EQ(saved().candidate_route_last_seen_at_ipv4.size(), 2u);

  // Without a record there is nothing to restore, and that is no failure.
  EXPECT_EQ(engine.restore_packet_steering_engine().app_count, 2u);  // the record that stage wrote
  auto nothing = engine.restore_packet_steering_engine();
  EXPECT_EQ(std::tuple(nothing.app_count, nothing.route_count, nothing.diagnostics),
            std::tuple(std::uint64_t{0}, std::uint64_t{0}, HelperPacketSteeringDiagnostics{}));
}

TEST_F(EngineTest, TheTunnelsOwnRoutesAreNeverTakenOver) {
  // The tunnel is up: its server's host route through the physical gateway, the half-defaults
  // into the tunnel. The excluded application talks to the VPN server itself.
  ASSERT_TRUE(write_state(env, {42, "utun200", "203.0.113.1", kGw, 1}).ok());
  const Kernel kTunnels = {{"0.0.0.0/1", "utun200"}, {"128.0.0.0/1", "utun200"}, {"203.0.113.1", kGw}};
  for (const auto& [destination, gateway] : kTunnels) table.set(destination, gateway);
  // A static half-default covers 17.1.2.3 but leaves the server a candidate of its own.
  auto updated = live({{"203.0.113.1:51820", "en0"}, {"17.1.2.3:443", "utun200"}}, {kApp}, {"0.0.0.0/1"});
  // The server's route is in place around the tunnel; the half-default leads into it, no bypass.
  EXPECT_EQ(saved().applied_bypass_routes_ipv4, Lines{"203.0.113.1"});
  EXPECT_EQ(std::tuple(updated.active, updated.route_count, updated.diagnostics.enforcement_plan_ready),
            std::tuple(false, std::uint64_t{1}, false));
  EXPECT_EQ(saved().engine_last_error,
            "Packet steering route 0.0.0.0/1 is the tunnel's own route and was left in place");
  // Restore finds the server's route recorded as in place and still leaves it; a pass's own
  // withdrawal shares the reserved set, proved above for a split-owned route.
  EXPECT_EQ(engine.restore_packet_steering_engine().route_count, 1u);

  EXPECT_THAT(env.commands_of("route"), Each(AllOf(Not(HasSubstr("203.0.113.1")), Not(HasSubstr("/1 ")))));
  EXPECT_EQ(table.routes(), kTunnels);
}

TEST_F(EngineTest, ConcurrentUpdatesAndPassesKeepTheLastGenerationAndTheKernelInStep) {
  ASSERT_TRUE(stage().ok());
  // Each nettop run sees the process talk to another host, so passes keep adding and removing.
  std::atomic<int> runs{0};
  auto routes_handler = env.handler;
  env.handler = [&](const std::string& line) -> std::optional<CommandResult> {
    if (line != kNettop) return routes_handler(line);
    // Observation takes time, as the real tool does: long enough for other requests to come in.
    std::this_thread::sleep_for(std::chrono::microseconds(300));
    return CommandResult("time,,interface\n1,firefox.4711,,\n1,tcp4 192.0.2.2:5<->17.0.0." +
                         std::to_string(runs++ % 5) + ":443,utun200,\n");
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (std::uint64_t g = 1; g <= 25; ++g) EXPECT_TRUE(engine.update_packet_steering_pids(g * 4 + t, kFirefox).ok());
    });
  threads.emplace_back([&] { for (int i = 0; i < 50; ++i) (void)engine.reconcile_packet_steering_engine_runtime(); });
  for (auto& t : threads) t.join();

  auto state = saved();
  EXPECT_EQ(state.pid_generation, 103u);  // the highest sent
  Kernel recorded;
  for (const auto& route : state.applied_bypass_routes_ipv4) recorded[route] = kGw;
  EXPECT_EQ(table.routes(), recorded);
}

// Without a record a monitor pass reports nothing and verify fails (SteeringServer), as does an
// update (Dispatcher.EachFailingOperationAnswersWithItsOwnCode).
TEST_F(EngineTest, PidGenerationsOnlyMoveForwardAndEveryEntryPointReportsItsSaveFailure) {
  live({{"17.1.2.3:443", "en0"}});
  env.clear_commands();
  auto stale = engine.update_packet_steering_pids(0, {});
  EXPECT_EQ(stale.value().note, "Ignoring stale packet steering PID snapshot generation 0 (current 1).");
  EXPECT_THAT(env.commands(), IsEmpty());
  EXPECT_EQ(std::pair(saved().pid_generation, saved().tracked_apps), std::pair(std::uint64_t{1}, kFirefox));
  env.epoch_seconds += 10;
  ASSERT_TRUE(engine.update_packet_steering_pids(1, kFirefox).ok());  // the same generation is no stale one
  EXPECT_EQ(std::pair(saved().updated_at, saved().diagnostics.stale_pid_snapshots),
            std::pair(env.epoch_seconds, std::uint64_t{1}));

  // A pass that confirms what is in place and learns nothing new leaves the record for a minute.
  env.failing_writes.insert(kPacketSteeringStatePath);
  EXPECT_EQ(engine.reconcile_packet_steering_engine_runtime(), std::nullopt);
  env.epoch_seconds += 60;
  EXPECT_EQ(engine.reconcile_packet_steering_engine_runtime(), "Read-only file system");
  EXPECT_EQ(engine.verify_packet_steering_engine().error(), "Read-only file system");
  EXPECT_EQ(engine.update_packet_steering_pids(2, kFirefox).error(), "Read-only file system");
  EXPECT_EQ(engine.update_packet_steering_pids(0, kFirefox).error(), "Read-only file system");  // stale
  EXPECT_EQ(stage().error(), "Read-only file system");
}

}  // namespace
}  // namespace kivo
