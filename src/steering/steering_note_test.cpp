#include "steering/steering_note.h"

#include <gtest/gtest.h>

#include <type_traits>

namespace kivo {
namespace {

constexpr std::uint64_t kNow = 1700000000;

TEST(SteeringNote, WaitingThenDegradedThenStaleOrLiveNamingEveryCounter) {
  HelperPacketSteeringEngineState state{.updated_at = kNow, .engine_last_error = "boom"};
  // Waiting; that such a record is not fresh either is the inactive answer of a just-staged engine
  // in EngineTest.StageChecksItsInputWaitsForTheFirstSnapshotAndHoldsNoRequestUpWhileProbing.
  EXPECT_EQ(packet_steering_note(state, kNow),
            "Packet steering engine is staged and waiting for the first excluded-process snapshot.");

  state.pid_generation = 4;
  EXPECT_EQ(packet_steering_note(state, kNow), "Packet steering engine is staged, but diagnostics are degraded: boom");

  state.engine_last_error.reset();
  state.updated_at = kNow - 16;
  EXPECT_EQ(packet_steering_note(state, kNow),
            "Packet steering engine is staged, but excluded-process snapshots are stale (last update 16s ago, "
            "threshold 15s).");
  // That it is no longer fresh either is
  // EngineTest.WhenSnapshotsStopOrNameNoProcessTheEnginesRoutesGoButNotSplitBypassOnes.
  // A clock behind the snapshot (one before the epoch reads 0) gives an age of 0: still fresh.
  EXPECT_TRUE(is_packet_steering_snapshot_fresh(state, kNow - 20));

  // 15 s old is still live, and the live note names every counter in order (a named observer and
  // a ready plan: EngineTest.ASnapshotSteersItsPublicHostsAroundTheTunnelAndRecyclesStuckFlows).
  state = {.pid_generation = 7, .updated_at = kNow - 15};
  std::uint64_t value = 101;  // every counter its own value, in the order the record declares them
  visit_packet_steering_diagnostics(state.diagnostics, [&value](const char*, auto& member) {
    if constexpr (std::is_same_v<std::decay_t<decltype(member)>, std::uint64_t>) member = value++;
  });
  state.last_tunnel_flow_recycle_count_ipv4 = value++;
  state.last_tunnel_flow_recycle_count_ipv6 = value++;
  EXPECT_EQ(packet_steering_note(state, kNow),
            "Packet steering engine diagnostics are live. observer=none PID generation=7 tracked_processes=101 "
            "ipv4_flows=102 ipv6_flows=103 tunnel_ipv4_flows=104 tunnel_ipv6_flows=105 observed_ipv4_destinations=106 "
            "observed_ipv6_destinations=107 candidate_ipv4_routes=108 candidate_ipv6_routes=109 "
            "static_ipv4_routes=110 static_ipv6_routes=111 learned_ipv4_routes=112 learned_ipv6_routes=113 "
            "first_hit_ipv4_gaps=114 first_hit_ipv6_gaps=115 ready_ipv4_routes=116 ready_ipv6_routes=117 "
            "planned_ipv4_routes=118 planned_ipv6_routes=119 applied_ipv4_routes=120 applied_ipv6_routes=121 "
            "drifted_ipv4_routes=122 drifted_ipv6_routes=123 recycled_tunnel_ipv4_hosts=126 "
            "recycled_tunnel_ipv6_hosts=127 plan_ready=false plan_revision=125 stale_generations=124.");
}

}  // namespace
}  // namespace kivo
