#include "steering/enforcement_plan.h"

#include <vector>

#include "base/text.h"
#include "steering/steering_note.h"

namespace kivo {
namespace {

std::string quoted_list(const std::vector<std::string>& items) {
  std::string text = "[";
  for (std::size_t i = 0; i < items.size(); ++i) text += (i ? ", \"" : "\"") + items[i] + "\"";
  return text + "]";
}

std::string n(std::uint64_t value) { return std::to_string(value); }

std::string plan_summary(const HelperPacketSteeringEngineState& state, bool fresh, std::uint64_t now) {
  const auto& d = state.diagnostics;
  if (state.pid_generation == 0) return "Enforcement plan is staged but waiting for the first excluded-process snapshot.";
  if (state.engine_last_error)
    return "Enforcement plan is degraded while packet-steering diagnostics are in error: " + *state.engine_last_error;
  if (!fresh)
    return "Enforcement plan is waiting for a fresh excluded-process snapshot (last update " +
           n(packet_steering_snapshot_age(state, now)) + "s ago).";
  if (d.tracked_processes == 0) return "Enforcement plan is waiting for an excluded app process to be running.";
  if (d.first_hit_gap_routes_ipv4 != 0 || d.first_hit_gap_routes_ipv6 != 0)
    return "Enforcement plan learned new first-hit routes this cycle and applied them for future flows (ipv4 gaps=" +
           n(d.first_hit_gap_routes_ipv4) + ", ipv6 gaps=" + n(d.first_hit_gap_routes_ipv6) + ").";
  if (d.tunnel_excluded_flows_ipv4 == 0 && d.tunnel_excluded_flows_ipv6 == 0)
    return "Enforcement plan is stable and ready. tracked_processes=" + n(d.tracked_processes) +
           " planned_ipv4_routes=" + n(state.planned_bypass_routes_ipv4.size()) +
           " planned_ipv6_routes=" + n(state.planned_bypass_routes_ipv6.size()) + ".";
  std::string still_on_tunnel = "existing excluded connections are still on the tunnel (ipv4=" +
                                n(d.tunnel_excluded_flows_ipv4) + ", ipv6=" + n(d.tunnel_excluded_flows_ipv6) + ").";
  if (state.last_tunnel_flow_recycle_count_ipv4 != 0 || state.last_tunnel_flow_recycle_count_ipv6 != 0)
    return "Enforcement plan is stable for new flows. Requested stale tunnel-flow recycle for " +
           n(state.last_tunnel_flow_recycle_count_ipv4) + " IPv4 and " + n(state.last_tunnel_flow_recycle_count_ipv6) +
           " IPv6 destinations, but " + still_on_tunnel +
           " Reload or restart the excluded app if those sessions do not drain.";
  return "Enforcement plan is stable for new flows, but " + still_on_tunnel +
         " Reload or restart the excluded app to flush those sessions.";
}

}  // namespace

std::string packet_steering_plan_signature(const HelperPacketSteeringEngineState& state, bool ready) {
  const auto& d = state.diagnostics;
  return std::string("ready=") + (ready ? "true" : "false") + "::pid_generation=" + n(state.pid_generation) +
         "::tracked=" + n(d.tracked_processes) + "::planned_v4=" + quoted_list(state.planned_bypass_routes_ipv4) +
         "::planned_v6=" + quoted_list(state.planned_bypass_routes_ipv6) + "::gaps_v4=" + n(d.first_hit_gap_routes_ipv4) +
         "::gaps_v6=" + n(d.first_hit_gap_routes_ipv6) + "::tunnel_v4=" + n(d.tunnel_excluded_flows_ipv4) +
         "::tunnel_v6=" + n(d.tunnel_excluded_flows_ipv6) + "::recycle_v4=" + n(state.last_tunnel_flow_recycle_count_ipv4) +
         "::recycle_v6=" + n(state.last_tunnel_flow_recycle_count_ipv6) +
         "::observer=" + d.observation_source.value_or("") + "::error=" + state.engine_last_error.value_or("");
}

void update_packet_steering_enforcement_plan_for_state(HelperPacketSteeringEngineState& state, bool fresh,
                                                       std::uint64_t now) {
  bool ready = state.pid_generation != 0 && fresh && state.diagnostics.tracked_processes != 0 &&
               !state.engine_last_error;
  std::string signature = packet_steering_plan_signature(state, ready);
  if (signature != state.enforcement_plan_signature) {
    state.enforcement_plan_signature = std::move(signature);
    state.enforcement_plan_revision = saturating_add(state.enforcement_plan_revision, 1);
    state.enforcement_plan_last_updated_at = now;
  }
  state.enforcement_plan_ready = ready;
  state.enforcement_plan_summary = plan_summary(state, fresh, now);
}

void finish_packet_steering_enforcement_plan(HelperPacketSteeringEngineState& state, bool fresh, std::uint64_t now) {
  update_packet_steering_enforcement_plan_for_state(state, fresh, now);
  state.diagnostics.enforcement_plan_ready = state.enforcement_plan_ready;
  state.diagnostics.enforcement_plan_revision = state.enforcement_plan_revision;
  state.diagnostics.enforcement_plan_summary = state.enforcement_plan_summary;
}

}  // namespace kivo
