#include "steering/steering_diagnostics.h"

#include "steering/flow_learning.h"
#include "steering/flow_observation.h"
#include "steering/route_planning.h"

namespace kivo {
namespace {

// Prune, then the planned and ready lists (no route is ever held back from the ready lists).
void plan_routes(HelperPacketSteeringEngineState& state, std::uint64_t now) {
  prune_packet_steering_observation_cache(state, now);
  update_packet_steering_planned_routes_for_state(state);
  update_packet_steering_enforcement_ready_routes_for_state(state, {}, {});
}

void count_route_lists(HelperPacketSteeringEngineState& state) {
  auto& d = state.diagnostics;
  d.static_bypass_routes_ipv4 = state.static_bypass_routes_ipv4.size();
  d.static_bypass_routes_ipv6 = state.static_bypass_routes_ipv6.size();
  d.learned_bypass_routes_ipv4 = state.learned_bypass_routes_ipv4.size();
  d.learned_bypass_routes_ipv6 = state.learned_bypass_routes_ipv6.size();
  d.enforcement_ready_routes_ipv4 = state.enforcement_ready_routes_ipv4.size();
  d.enforcement_ready_routes_ipv6 = state.enforcement_ready_routes_ipv6.size();
  d.planned_bypass_routes_ipv4 = state.planned_bypass_routes_ipv4.size();
  d.planned_bypass_routes_ipv6 = state.planned_bypass_routes_ipv6.size();
  d.applied_bypass_routes_ipv4 = state.applied_bypass_routes_ipv4.size();
  d.applied_bypass_routes_ipv6 = state.applied_bypass_routes_ipv6.size();
}

}  // namespace

void record_packet_steering_observation(HelperPacketSteeringEngineState& state,
                                        const PacketSteeringObservationSnapshot& snapshot, bool fresh,
                                        std::uint64_t now) {
  auto gaps = count_packet_steering_first_hit_gaps(state, snapshot);
  if (fresh) learn_packet_steering_observations(state, snapshot, now);
  plan_routes(state, now);

  auto& d = state.diagnostics;
  d.observation_source = snapshot.observer;
  d.tracked_processes = packet_steering_pid_set(state).size();
  d.active_excluded_flows_ipv4 = snapshot.active_excluded_flows_ipv4;
  d.active_excluded_flows_ipv6 = snapshot.active_excluded_flows_ipv6;
  d.tunnel_excluded_flows_ipv4 = snapshot.tunnel_excluded_flows_ipv4;
  d.tunnel_excluded_flows_ipv6 = snapshot.tunnel_excluded_flows_ipv6;
  d.observed_public_destinations_ipv4 = state.observed_destination_last_seen_at_ipv4.size();
  d.observed_public_destinations_ipv6 = state.observed_destination_last_seen_at_ipv6.size();
  d.candidate_bypass_routes_ipv4 = state.candidate_route_last_seen_at_ipv4.size();
  d.candidate_bypass_routes_ipv6 = state.candidate_route_last_seen_at_ipv6.size();
  count_route_lists(state);
  d.first_hit_gap_routes_ipv4 = gaps.ipv4;
  d.first_hit_gap_routes_ipv6 = gaps.ipv6;
  d.enforcement_plan_revision = state.enforcement_plan_revision;
  d.enforcement_plan_ready = false;
  state.engine_last_error.reset();
  state.engine_last_sync_at = now;
}

void record_packet_steering_observation_failure(HelperPacketSteeringEngineState& state, const std::string& error,
                                                std::uint64_t now) {
  plan_routes(state, now);
  count_route_lists(state);
  auto& d = state.diagnostics;
  d.tunnel_excluded_flows_ipv4 = 0;
  d.tunnel_excluded_flows_ipv6 = 0;
  d.route_drift_routes_ipv4 = 0;
  d.route_drift_routes_ipv6 = 0;
  d.observation_source.reset();
  state.engine_last_sync_at = now;
  state.engine_last_error = error;
}

}  // namespace kivo
