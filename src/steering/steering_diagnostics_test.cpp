#include "steering/steering_diagnostics.h"

#include <gtest/gtest.h>

#include "steering/enforcement_plan.h"
#include "steering/route_planning.h"

namespace kivo {
namespace {

constexpr std::uint64_t kNow = 1700000000;
using Routes = std::vector<std::string>;

HelperPacketSteeringEngineState staged() {
  return {.routes = {"1.2.3.0/24", "2001:db8::/32"}, .gateway = "192.168.1.1", .pid_generation = 2,
          .tracked_apps = {{"Firefox", "/f", {4711, 4712}}, {"Helper", "/h", {4711}}}, .updated_at = kNow - 1,
          .diagnostics = {.route_drift_routes_ipv4 = 1, .stale_pid_snapshots = 4},
          .candidate_route_last_seen_at_ipv4 = {{"9.9.9.9", kNow - 50}, {"8.8.8.8", kNow - 5}},
          .applied_bypass_routes_ipv4 = {"8.8.8.8", "9.9.9.9"}, .engine_last_error = "old error"};
}

PacketSteeringObservationSnapshot seen() {
  return {.observer = "nettop", .active_excluded_flows_ipv4 = 3, .tunnel_excluded_flows_ipv4 = 1,
          .observed_public_destinations_ipv4 = {"17.1.2.3"}, .candidate_routes_ipv4 = {"17.1.2.3", "8.8.8.8"},
          .candidate_routes_ipv6 = {"2001:db8::1"}, .tunnel_destinations_ipv4 = {"17.1.2.3"},
          .tunnel_destinations_ipv6 = {"2001:db8::1"}};
}

TEST(SteeringDiagnostics, EachObservationIsLearnedPlannedAndCountedAsFarAsItCanBeKnown) {
  auto state = staged();
  record_packet_steering_observation(state, seen(), true, kNow);
  EXPECT_EQ(state.candidate_route_last_seen_at_ipv4, (LastSeenMap{{"17.1.2.3", kNow}, {"8.8.8.8", kNow}}));
  EXPECT_EQ(state.candidate_route_last_seen_at_ipv6, (LastSeenMap{{"2001:db8::1", kNow}}));
  EXPECT_EQ(std::pair(state.observed_destination_last_seen_at_ipv4, state.tunnel_destination_last_seen_at_ipv6),
            std::pair(LastSeenMap{{"17.1.2.3", kNow}}, LastSeenMap{{"2001:db8::1", kNow}}));
  // Static routes by family (no LAN ranges: not allowed) and every learned host are planned and ready.
  EXPECT_EQ(state.planned_bypass_routes_ipv4, (Routes{"1.2.3.0/24", "17.1.2.3", "8.8.8.8"}));
  EXPECT_EQ(state.planned_bypass_routes_ipv6, (Routes{"2001:db8::/32", "2001:db8::1"}));
  EXPECT_EQ(std::pair(state.enforcement_ready_routes_ipv4, state.enforcement_ready_routes_ipv6),
            std::pair(state.planned_bypass_routes_ipv4, state.planned_bypass_routes_ipv6));
  // Drift is the route application's to count and stale snapshots the engine's; both stay.
  EXPECT_EQ(state.diagnostics,
            (HelperPacketSteeringDiagnostics{
                .observation_source = "nettop", .tracked_processes = 2, .active_excluded_flows_ipv4 = 3,
                .tunnel_excluded_flows_ipv4 = 1, .observed_public_destinations_ipv4 = 1,
                .candidate_bypass_routes_ipv4 = 2, .candidate_bypass_routes_ipv6 = 1, .static_bypass_routes_ipv4 = 1,
                .static_bypass_routes_ipv6 = 1, .learned_bypass_routes_ipv4 = 2, .learned_bypass_routes_ipv6 = 1,
                .first_hit_gap_routes_ipv4 = 1, .first_hit_gap_routes_ipv6 = 1, .enforcement_ready_routes_ipv4 = 3,
                .enforcement_ready_routes_ipv6 = 2, .planned_bypass_routes_ipv4 = 3, .planned_bypass_routes_ipv6 = 2,
                .applied_bypass_routes_ipv4 = 2, .route_drift_routes_ipv4 = 1, .stale_pid_snapshots = 4}));
  EXPECT_EQ(std::pair(state.engine_last_error, state.engine_last_sync_at),
            std::pair(std::optional<std::string>(), std::optional(kNow)));
  update_packet_steering_enforcement_ready_routes_for_state(state, {"8.8.8.8"}, {"2001:db8::/32"});
  EXPECT_EQ(std::pair(state.enforcement_ready_routes_ipv4, state.enforcement_ready_routes_ipv6),
            std::pair(Routes{"1.2.3.0/24", "17.1.2.3"}, Routes{"2001:db8::1"}));

  // A stale one is counted but teaches nothing (one gate holds back every stamp, the candidates'
  // among them); what is older than 45 s goes all the same.
  state = staged();
  record_packet_steering_observation(state, seen(), false, kNow);
  EXPECT_EQ(state.candidate_route_last_seen_at_ipv4, (LastSeenMap{{"8.8.8.8", kNow - 5}}));
  EXPECT_EQ(std::pair(state.diagnostics.first_hit_gap_routes_ipv4, state.diagnostics.active_excluded_flows_ipv4),
            std::pair(std::uint64_t{1}, std::uint64_t{3}));

  // A failed one keeps the flow counts it cannot know; drift is counted anew by the next pass.
  state = staged();
  record_packet_steering_observation(state, seen(), true, kNow - 10);  // drift stays 1, as above
  const std::string error = "Failed to inspect packet steering flows via nettop (x) or lsof (y)";
  record_packet_steering_observation_failure(state, error, kNow + 50);
  const auto& d = state.diagnostics;
  EXPECT_EQ(std::pair(state.engine_last_error, state.engine_last_sync_at),
            std::pair(std::optional(error), std::optional(kNow + 50)));
  EXPECT_EQ(std::tuple(d.observation_source, d.tunnel_excluded_flows_ipv4, d.route_drift_routes_ipv4),
            std::tuple(std::nullopt, std::uint64_t{0}, std::uint64_t{0}));
  EXPECT_EQ(std::pair(d.active_excluded_flows_ipv4, d.tracked_processes),
            std::pair(std::uint64_t{3}, std::uint64_t{2}));
  // Pruned (last seen 60 s ago) and planned anew: the static route alone.
  EXPECT_TRUE(state.candidate_route_last_seen_at_ipv4.empty());
  EXPECT_EQ(std::pair(d.learned_bypass_routes_ipv4, d.planned_bypass_routes_ipv4),
            std::pair(std::uint64_t{0}, std::uint64_t{1}));
}

// A pass records its observation (clearing the error), then application may fail again the same
// way: passes that see the same picture are one plan, not a new revision each, with or without a
// persisting route error; a new picture moves the plan's time (that it raises the revision by one,
// as the diagnostics show, is EngineTest.ASnapshotSteersItsPublicHostsAroundTheTunnelAndRecyclesStuckFlows).
// The diagnostics mirror the plan.
TEST(SteeringDiagnostics, OnlyANewPictureRaisesThePlansRevision) {
  for (std::string failure : {"", "Failed adding packet steering route 17.1.2.3: File exists"}) {
    SCOPED_TRACE(failure);
    auto state = staged();
    auto snapshot = seen();
    auto pass = [&](std::uint64_t now) {
      state.updated_at = now;
      record_packet_steering_observation(state, snapshot, true, now);
      if (!failure.empty()) state.engine_last_error = failure;
      finish_packet_steering_enforcement_plan(state, true, now);
    };
    pass(kNow);
    pass(kNow + 1);  // the first pass's gap is learned now: the plan changes once more
    auto revision = state.enforcement_plan_revision;
    pass(kNow + 2);
    EXPECT_EQ(std::pair(state.enforcement_plan_revision, state.enforcement_plan_last_updated_at),
              std::pair(revision, std::optional(kNow + 1)));
    EXPECT_EQ(std::pair(state.diagnostics.enforcement_plan_ready, state.diagnostics.enforcement_plan_summary),
              std::pair(state.enforcement_plan_ready, state.enforcement_plan_summary));
    // A newly learned route is a new picture; the revision stops at the top, the plan's time moves.
    state.enforcement_plan_revision = UINT64_MAX;
    snapshot.candidate_routes_ipv4.insert("1.0.0.2");
    pass(kNow + 5);
    EXPECT_EQ(std::pair(state.enforcement_plan_revision, state.enforcement_plan_last_updated_at),
              std::pair(UINT64_MAX, std::optional(kNow + 5)));
  }
}

}  // namespace
}  // namespace kivo
