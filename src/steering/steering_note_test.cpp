#include "steering/steering_note.h"

#include <gtest/gtest.h>

namespace kivo {
namespace {

constexpr std::uint64_t kNow = 1700000000;

TEST(SteeringNote, WaitingThenDegradedThenStale) {
  const struct {
    std::uint64_t generation, updated_at, now;
    std::optional<std::string> error, note;
    bool fresh;
  } cases[] = {
      {0, kNow, kNow, "boom", "Packet steering engine is staged and waiting for the first excluded-process snapshot.",
       false},
      {4, kNow, kNow, "boom", "Packet steering engine is staged, but diagnostics are degraded: boom", true},
      {4, kNow - 16, kNow, std::nullopt,
       "Packet steering engine is staged, but excluded-process snapshots are stale (last update 16s ago, threshold "
       "15s).", false},
      // A clock before the last update (or before the epoch, read as 0) gives an age of 0.
      {4, kNow - 16, kNow - 20, std::nullopt, std::nullopt, true},
      {4, kNow - 16, 0, std::nullopt, std::nullopt, true},
  };
  for (const auto& c : cases) {
    HelperPacketSteeringEngineState state{.pid_generation = c.generation, .updated_at = c.updated_at,
                                          .engine_last_error = c.error};
    if (c.note) { EXPECT_EQ(packet_steering_note(state, c.now), *c.note); }
    EXPECT_EQ(is_packet_steering_snapshot_fresh(state, c.now), c.fresh) << c.generation << " " << c.now;
  }
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
