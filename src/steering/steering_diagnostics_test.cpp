#include "steering/steering_diagnostics.h"

#include <gtest/gtest.h>

#include "steering/enforcement_plan.h"

namespace kivo {
namespace {

constexpr std::uint64_t kNow = 1700000000;
using Routes = std::vector<std::string>;

HelperPacketSteeringEngineState staged() {
  HelperPacketSteeringEngineState state;
  state.routes = {"1.2.3.0/24"};
  state.gateway = "192.168.1.1";
  state.pid_generation = 2;
  state.updated_at = kNow - 1;
  state.tracked_apps = {{"Firefox", "/f", {4711, 4712}}, {"Helper", "/h", {4711}}};
  state.candidate_route_last_seen_at_ipv4 = {{"9.9.9.9", kNow - 50}, {"8.8.8.8", kNow - 5}};
  state.applied_bypass_routes_ipv4 = {"8.8.8.8", "9.9.9.9"};
  state.diagnostics.route_drift_routes_ipv4 = 1;
  state.diagnostics.stale_pid_snapshots = 4;
  state.engine_last_error = "old error";
  return state;
}

PacketSteeringObservationSnapshot seen() {
  PacketSteeringObservationSnapshot snapshot;
  snapshot.observer = "nettop";
  snapshot.active_excluded_flows_ipv4 = 3;
  snapshot.tunnel_excluded_flows_ipv4 = 1;
  snapshot.observed_public_destinations_ipv4 = {"17.1.2.3"};
  snapshot.candidate_routes_ipv4 = {"17.1.2.3", "8.8.8.8"};
  snapshot.tunnel_destinations_ipv4 = {"17.1.2.3"};
  return snapshot;
}

TEST(SteeringDiagnostics, AFreshObservationIsLearnedPlannedAndCounted) {
  auto state = staged();
  record_packet_steering_observation(state, seen(), true, kNow);
  EXPECT_EQ(state.candidate_route_last_seen_at_ipv4, (LastSeenMap{{"17.1.2.3", kNow}, {"8.8.8.8", kNow}}));
  EXPECT_EQ(state.planned_bypass_routes_ipv4, (Routes{"1.2.3.0/24", "17.1.2.3", "8.8.8.8"}));
  EXPECT_EQ(state.enforcement_ready_routes_ipv4, state.planned_bypass_routes_ipv4);
  const auto& d = state.diagnostics;
  EXPECT_EQ(d.observation_source, "nettop");
  EXPECT_EQ(d.tracked_processes, 2u);
  EXPECT_EQ(d.active_excluded_flows_ipv4, 3u);
  EXPECT_EQ(d.tunnel_excluded_flows_ipv4, 1u);
  EXPECT_EQ(d.observed_public_destinations_ipv4, 1u);
  EXPECT_EQ(d.candidate_bypass_routes_ipv4, 2u);
  EXPECT_EQ(d.static_bypass_routes_ipv4, 1u);
  EXPECT_EQ(d.learned_bypass_routes_ipv4, 2u);
  EXPECT_EQ(d.planned_bypass_routes_ipv4, 3u);
  EXPECT_EQ(d.enforcement_ready_routes_ipv4, 3u);
  EXPECT_EQ(d.applied_bypass_routes_ipv4, 2u);
  EXPECT_EQ(d.first_hit_gap_routes_ipv4, 1u);
  EXPECT_EQ(d.route_drift_routes_ipv4, 1u);  // application's to set
  EXPECT_EQ(d.stale_pid_snapshots, 4u);
  EXPECT_EQ(state.engine_last_error, std::nullopt);
  EXPECT_EQ(state.engine_last_sync_at, kNow);
}

TEST(SteeringDiagnostics, AStaleObservationCountsButLearnsNothing) {
  auto state = staged();
  record_packet_steering_observation(state, seen(), false, kNow);
  EXPECT_EQ(state.candidate_route_last_seen_at_ipv4, (LastSeenMap{{"8.8.8.8", kNow - 5}}));
  EXPECT_TRUE(state.observed_destination_last_seen_at_ipv4.empty());
  EXPECT_TRUE(state.tunnel_destination_last_seen_at_ipv4.empty());
  EXPECT_EQ(state.diagnostics.first_hit_gap_routes_ipv4, 1u);
  EXPECT_EQ(state.diagnostics.active_excluded_flows_ipv4, 3u);
}

TEST(SteeringDiagnostics, AFailedObservationKeepsTheFlowCountsItCannotKnow) {
  auto state = staged();
  record_packet_steering_observation(state, seen(), true, kNow - 10);
  state.diagnostics.route_drift_routes_ipv4 = 1;
  record_packet_steering_observation_failure(state, "Failed to inspect packet steering flows via nettop (x) or lsof (y)",
                                             kNow + 50);
  const auto& d = state.diagnostics;
  EXPECT_EQ(state.engine_last_error, "Failed to inspect packet steering flows via nettop (x) or lsof (y)");
  EXPECT_EQ(state.engine_last_sync_at, kNow + 50);
  EXPECT_EQ(d.observation_source, std::nullopt);
  EXPECT_EQ(d.tunnel_excluded_flows_ipv4, 0u);
  EXPECT_EQ(d.route_drift_routes_ipv4, 0u);
  EXPECT_EQ(d.active_excluded_flows_ipv4, 3u);
  EXPECT_EQ(d.tracked_processes, 2u);
  EXPECT_TRUE(state.candidate_route_last_seen_at_ipv4.empty());  // pruned: last seen 60 s ago
  EXPECT_EQ(state.planned_bypass_routes_ipv4, Routes{"1.2.3.0/24"});
  EXPECT_EQ(d.learned_bypass_routes_ipv4, 0u);
  EXPECT_EQ(d.planned_bypass_routes_ipv4, 1u);
}

// A pass records its observation (clearing the error), then application may fail again the same
// way; with the plan run once at the end, a persisting failure is one plan, not a new revision
// every pass.
TEST(SteeringDiagnostics, APersistingRouteErrorDoesNotRaiseTheRevisionEveryPass) {
  auto state = staged();
  state.candidate_route_last_seen_at_ipv4.clear();
  auto snapshot = seen();
  snapshot.candidate_routes_ipv4.clear();
  snapshot.tunnel_excluded_flows_ipv4 = 0;
  auto pass = [&](std::uint64_t now) {
    state.updated_at = now;
    record_packet_steering_observation(state, snapshot, true, now);
    state.engine_last_error = "Failed adding packet steering route 17.1.2.3: File exists";
    finish_packet_steering_enforcement_plan(state, true, now);
  };
  pass(kNow);
  auto revision = state.enforcement_plan_revision;
  pass(kNow + 1);
  pass(kNow + 2);
  EXPECT_EQ(state.enforcement_plan_revision, revision);
  EXPECT_EQ(state.enforcement_plan_last_updated_at, kNow);
  EXPECT_EQ(state.diagnostics.enforcement_plan_summary,
            "Enforcement plan is degraded while packet-steering diagnostics are in error: Failed adding packet "
            "steering route 17.1.2.3: File exists");
}

TEST(SteeringDiagnostics, IdenticalPassesKeepTheRevisionAndANewLearnedRouteRaisesItByOne) {
  auto state = staged();
  state.engine_last_error.reset();
  auto snapshot = seen();
  auto pass = [&](std::uint64_t now) {
    state.updated_at = now;
    record_packet_steering_observation(state, snapshot, true, now);
    finish_packet_steering_enforcement_plan(state, true, now);
  };
  pass(kNow);
  pass(kNow + 1);  // the first pass's gap is learned now: the plan changes once more
  auto revision = state.enforcement_plan_revision;
  pass(kNow + 2);
  pass(kNow + 3);
  EXPECT_EQ(state.enforcement_plan_revision, revision);
  EXPECT_EQ(state.enforcement_plan_last_updated_at, kNow + 1);
  EXPECT_EQ(state.diagnostics.enforcement_plan_summary,
            "Enforcement plan is stable for new flows, but existing excluded connections are still on the tunnel "
            "(ipv4=1, ipv6=0). Reload or restart the excluded app to flush those sessions.");

  snapshot.candidate_routes_ipv4.insert("1.0.0.1");
  pass(kNow + 4);
  EXPECT_EQ(state.enforcement_plan_revision, revision + 1);
  EXPECT_EQ(state.enforcement_plan_last_updated_at, kNow + 4);
  EXPECT_EQ(state.diagnostics.enforcement_plan_revision, revision + 1);
  EXPECT_EQ(state.diagnostics.first_hit_gap_routes_ipv4, 1u);
}

}  // namespace
}  // namespace kivo
