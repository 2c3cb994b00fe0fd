#include "steering/steering_note.h"

#include <string>

namespace kivo {

std::uint64_t packet_steering_snapshot_age(const HelperPacketSteeringEngineState& state, std::uint64_t now) {
  return now > state.updated_at ? now - state.updated_at : 0;
}

bool is_packet_steering_snapshot_fresh(const HelperPacketSteeringEngineState& state, std::uint64_t now) {
  return state.pid_generation != 0 && packet_steering_snapshot_age(state, now) < kPacketSteeringStaleAfterSeconds;
}

std::string packet_steering_note(const HelperPacketSteeringEngineState& state, std::uint64_t now) {
  if (state.pid_generation == 0)
    return "Packet steering engine is staged and waiting for the first excluded-process snapshot.";
  if (state.engine_last_error)
    return "Packet steering engine is staged, but diagnostics are degraded: " + *state.engine_last_error;
  std::uint64_t age = packet_steering_snapshot_age(state, now);
  if (age >= kPacketSteeringStaleAfterSeconds)
    return "Packet steering engine is staged, but excluded-process snapshots are stale (last update " +
           std::to_string(age) + "s ago, threshold 15s).";

  const auto& d = state.diagnostics;
  std::string note = "Packet steering engine diagnostics are live. observer=" + d.observation_source.value_or("none") +
                     " PID generation=" + std::to_string(state.pid_generation);
  auto add = [&note](const char* name, std::uint64_t value) {
    note += ' ';
    note += name;
    note += '=';
    note += std::to_string(value);
  };
  add("tracked_processes", d.tracked_processes);
  add("ipv4_flows", d.active_excluded_flows_ipv4);
  add("ipv6_flows", d.active_excluded_flows_ipv6);
  add("tunnel_ipv4_flows", d.tunnel_excluded_flows_ipv4);
  add("tunnel_ipv6_flows", d.tunnel_excluded_flows_ipv6);
  add("observed_ipv4_destinations", d.observed_public_destinations_ipv4);
  add("observed_ipv6_destinations", d.observed_public_destinations_ipv6);
  add("candidate_ipv4_routes", d.candidate_bypass_routes_ipv4);
  add("candidate_ipv6_routes", d.candidate_bypass_routes_ipv6);
  add("static_ipv4_routes", d.static_bypass_routes_ipv4);
  add("static_ipv6_routes", d.static_bypass_routes_ipv6);
  add("learned_ipv4_routes", d.learned_bypass_routes_ipv4);
  add("learned_ipv6_routes", d.learned_bypass_routes_ipv6);
  add("first_hit_ipv4_gaps", d.first_hit_gap_routes_ipv4);
  add("first_hit_ipv6_gaps", d.first_hit_gap_routes_ipv6);
  add("ready_ipv4_routes", d.enforcement_ready_routes_ipv4);
  add("ready_ipv6_routes", d.enforcement_ready_routes_ipv6);
  add("planned_ipv4_routes", d.planned_bypass_routes_ipv4);
  add("planned_ipv6_routes", d.planned_bypass_routes_ipv6);
  add("applied_ipv4_routes", d.applied_bypass_routes_ipv4);
  add("applied_ipv6_routes", d.applied_bypass_routes_ipv6);
  add("drifted_ipv4_routes", d.route_drift_routes_ipv4);
  add("drifted_ipv6_routes", d.route_drift_routes_ipv6);
  add("recycled_tunnel_ipv4_hosts", state.last_tunnel_flow_recycle_count_ipv4);
  add("recycled_tunnel_ipv6_hosts", state.last_tunnel_flow_recycle_count_ipv6);
  note += d.enforcement_plan_ready ? " plan_ready=true" : " plan_ready=false";
  add("plan_revision", d.enforcement_plan_revision);
  add("stale_generations", d.stale_pid_snapshots);
  return note + ".";
}

}  // namespace kivo
