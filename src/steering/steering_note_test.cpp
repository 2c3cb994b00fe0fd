#include "steering/steering_note.h"

#include <gtest/gtest.h>

namespace kivo {
namespace {

constexpr std::uint64_t kNow = 1700000000;

TEST(SteeringNote, WaitingThenDegradedThenLiveOrStale) {
  HelperPacketSteeringEngineState state{.updated_at = kNow, .engine_last_error = "boom"};
  EXPECT_EQ(packet_steering_note(state, kNow),
            "Packet steering engine is staged and waiting for the first excluded-process snapshot.");
  EXPECT_FALSE(is_packet_steering_snapshot_fresh(state, kNow));

  state.pid_generation = 4;
  EXPECT_EQ(packet_steering_note(state, kNow), "Packet steering engine is staged, but diagnostics are degraded: boom");

  state.engine_last_error.reset();
  state.updated_at = kNow - 16;
  EXPECT_EQ(packet_steering_note(state, kNow),
            "Packet steering engine is staged, but excluded-process snapshots are stale (last update 16s ago, "
            "threshold 15s).");
  EXPECT_FALSE(is_packet_steering_snapshot_fresh(state, kNow));
  // A clock before the epoch reads 0: the age is 0 and the snapshot counts as fresh.
  EXPECT_TRUE(is_packet_steering_snapshot_fresh(state, 0));
  EXPECT_TRUE(is_packet_steering_snapshot_fresh(state, kNow - 20));
}

// 15 s old is still live (16 s is stale above).
TEST(SteeringNote, LiveNoteNamesEveryCounterInOrder) {
  HelperPacketSteeringEngineState state{.pid_generation = 7, .updated_at = kNow - 15};
  auto& d = state.diagnostics;
  std::uint64_t value = 101;
  for (std::uint64_t* counter :
       {&d.tracked_processes, &d.active_excluded_flows_ipv4, &d.active_excluded_flows_ipv6,
        &d.tunnel_excluded_flows_ipv4, &d.tunnel_excluded_flows_ipv6, &d.observed_public_destinations_ipv4,
        &d.observed_public_destinations_ipv6, &d.candidate_bypass_routes_ipv4, &d.candidate_bypass_routes_ipv6,
        &d.static_bypass_routes_ipv4, &d.static_bypass_routes_ipv6, &d.learned_bypass_routes_ipv4,
        &d.learned_bypass_routes_ipv6, &d.first_hit_gap_routes_ipv4, &d.first_hit_gap_routes_ipv6,
        &d.enforcement_ready_routes_ipv4, &d.enforcement_ready_routes_ipv6, &d.planned_bypass_routes_ipv4,
        &d.planned_bypass_routes_ipv6, &d.applied_bypass_routes_ipv4, &d.applied_bypass_routes_ipv6,
        &d.route_drift_routes_ipv4, &d.route_drift_routes_ipv6, &state.last_tunnel_flow_recycle_count_ipv4,
        &state.last_tunnel_flow_recycle_count_ipv6, &d.enforcement_plan_revision, &d.stale_pid_snapshots})
    *counter = value++;
  EXPECT_EQ(packet_steering_note(state, kNow),
            "Packet steering engine diagnostics are live. observer=none PID generation=7 tracked_processes=101 "
            "ipv4_flows=102 ipv6_flows=103 tunnel_ipv4_flows=104 tunnel_ipv6_flows=105 observed_ipv4_destinations=106 "
            "observed_ipv6_destinations=107 candidate_ipv4_routes=108 candidate_ipv6_routes=109 "
            "static_ipv4_routes=110 static_ipv6_routes=111 learned_ipv4_routes=112 learned_ipv6_routes=113 "
            "first_hit_ipv4_gaps=114 first_hit_ipv6_gaps=115 ready_ipv4_routes=116 ready_ipv6_routes=117 "
            "planned_ipv4_routes=118 planned_ipv6_routes=119 applied_ipv4_routes=120 applied_ipv6_routes=121 "
            "drifted_ipv4_routes=122 drifted_ipv6_routes=123 recycled_tunnel_ipv4_hosts=124 "
            "recycled_tunnel_ipv6_hosts=125 plan_ready=false plan_revision=126 stale_generations=127.");
  d.observation_source = "lsof";
  d.enforcement_plan_ready = true;
  auto note = packet_steering_note(state, kNow);
  EXPECT_NE(note.find("live. observer=lsof PID"), std::string::npos) << note;
  EXPECT_NE(note.find(" plan_ready=true "), std::string::npos) << note;
}

}  // namespace
}  // namespace kivo
