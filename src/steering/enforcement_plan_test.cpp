#include "steering/enforcement_plan.h"

#include <functional>

#include <gtest/gtest.h>

namespace kivo {
namespace {

constexpr std::uint64_t kNow = 1700000000;
using State = HelperPacketSteeringEngineState;

// One excluded process, fresh, nothing noteworthy: the plan is stable and ready.
State live_state() {
  return {.pid_generation = 3, .updated_at = kNow - 2,
          .diagnostics = {.observation_source = "nettop", .tracked_processes = 1},
          .planned_bypass_routes_ipv4 = {"1.2.3.0/24", "17.1.2.3"}};
}

// That a clock behind the snapshot gives an age of 0 is
// SteeringNote.WaitingThenDegradedThenStaleOrLiveNamingEveryCounter.
TEST(EnforcementPlan, SummaryNamesTheFirstMatchingSituationAndTheSignatureItsInputs) {
  const struct { std::function<void(State&)> change; bool fresh, ready; std::string summary; } cases[] = {
      {[](State&) {}, true, true,
       "Enforcement plan is stable and ready. tracked_processes=1 planned_ipv4_routes=2 planned_ipv6_routes=0."},
      {[](State& s) { s.pid_generation = 0, s.engine_last_error = "x"; }, true, false,
       "Enforcement plan is staged but waiting for the first excluded-process snapshot."},
      // An error holds a fresh plan back too: EngineTest.TheTunnelsOwnRoutesAreNeverTakenOver.
      {[](State& s) { s.engine_last_error = "x"; }, false, false,
       "Enforcement plan is degraded while packet-steering diagnostics are in error: x"},
      {[](State& s) { s.updated_at = kNow - 30; }, false, false,
       "Enforcement plan is waiting for a fresh excluded-process snapshot (last update 30s ago)."},
      {[](State& s) { s.diagnostics.tracked_processes = 0; }, true, false,
       "Enforcement plan is waiting for an excluded app process to be running."},
      {[](State& s) { s.diagnostics.first_hit_gap_routes_ipv6 = 2, s.diagnostics.tunnel_excluded_flows_ipv4 = 1; },
       true, true,
       "Enforcement plan learned new first-hit routes this cycle and applied them for future flows (ipv4 gaps=0, "
       "ipv6 gaps=2)."},
      {[](State& s) { s.diagnostics.tunnel_excluded_flows_ipv4 = 3, s.last_tunnel_flow_recycle_count_ipv6 = 1; },
       true, true,
       "Enforcement plan is stable for new flows. Requested stale tunnel-flow recycle for 0 IPv4 and 1 IPv6 "
       "destinations, but existing excluded connections are still on the tunnel (ipv4=3, ipv6=0). Reload or restart "
       "the excluded app if those sessions do not drain."},
      {[](State& s) { s.diagnostics.tunnel_excluded_flows_ipv6 = 4; }, true, true,
       "Enforcement plan is stable for new flows, but existing excluded connections are still on the tunnel (ipv4=0, "
       "ipv6=4). Reload or restart the excluded app to flush those sessions."},
  };
  for (const auto& c : cases) {
    auto state = live_state();
    c.change(state);
    update_packet_steering_enforcement_plan_for_state(state, c.fresh, kNow);
    EXPECT_EQ(state.enforcement_plan_summary, c.summary);
    EXPECT_EQ(state.enforcement_plan_ready, c.ready) << c.summary;
  }

  // The signature spells out the inputs of the plan.
  auto state = live_state();
  state.planned_bypass_routes_ipv6 = {"2606:4700::1"};
  state.diagnostics.first_hit_gap_routes_ipv4 = 1;
  state.diagnostics.tunnel_excluded_flows_ipv6 = 2;
  state.last_tunnel_flow_recycle_count_ipv4 = 3;
  state.engine_last_error = "e";
  EXPECT_EQ(packet_steering_plan_signature(state, false),
            R"(ready=false::pid_generation=3::tracked=1::planned_v4=["1.2.3.0/24", "17.1.2.3"]::)"
            R"(planned_v6=["2606:4700::1"]::gaps_v4=1::gaps_v6=0::tunnel_v4=0::tunnel_v6=2::recycle_v4=3::)"
            R"(recycle_v6=0::observer=nettop::error=e)");
}

}  // namespace
}  // namespace kivo
