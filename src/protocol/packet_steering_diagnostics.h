// The packet steering engine's counters: kept in its record, and answered member by member in
// its status. Their names are written once, below, for both.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kivo {

struct HelperPacketSteeringDiagnostics {
  std::optional<std::string> observation_source;
  std::uint64_t tracked_processes = 0;
  std::uint64_t active_excluded_flows_ipv4 = 0;
  std::uint64_t active_excluded_flows_ipv6 = 0;
  std::uint64_t tunnel_excluded_flows_ipv4 = 0;
  std::uint64_t tunnel_excluded_flows_ipv6 = 0;
  std::uint64_t observed_public_destinations_ipv4 = 0;
  std::uint64_t observed_public_destinations_ipv6 = 0;
  std::uint64_t candidate_bypass_routes_ipv4 = 0;
  std::uint64_t candidate_bypass_routes_ipv6 = 0;
  std::uint64_t static_bypass_routes_ipv4 = 0;
  std::uint64_t static_bypass_routes_ipv6 = 0;
  std::uint64_t learned_bypass_routes_ipv4 = 0;
  std::uint64_t learned_bypass_routes_ipv6 = 0;
  std::uint64_t first_hit_gap_routes_ipv4 = 0;
  std::uint64_t first_hit_gap_routes_ipv6 = 0;
  std::uint64_t enforcement_ready_routes_ipv4 = 0;
  std::uint64_t enforcement_ready_routes_ipv6 = 0;
  std::uint64_t planned_bypass_routes_ipv4 = 0;
  std::uint64_t planned_bypass_routes_ipv6 = 0;
  std::uint64_t applied_bypass_routes_ipv4 = 0;
  std::uint64_t applied_bypass_routes_ipv6 = 0;
  std::uint64_t route_drift_routes_ipv4 = 0;
  std::uint64_t route_drift_routes_ipv6 = 0;
  std::uint64_t stale_pid_snapshots = 0;
  bool enforcement_plan_ready = false;
  std::uint64_t enforcement_plan_revision = 0;
  std::optional<std::string> enforcement_plan_summary;
  bool operator==(const HelperPacketSteeringDiagnostics&) const = default;
};

// Calls v(name, member) for every member, in the order they are written.
template <class D, class V>
void visit_packet_steering_diagnostics(D& d, V&& v) {
  v("observation_source", d.observation_source);
  v("tracked_processes", d.tracked_processes);
  v("active_excluded_flows_ipv4", d.active_excluded_flows_ipv4);
  v("active_excluded_flows_ipv6", d.active_excluded_flows_ipv6);
  v("tunnel_excluded_flows_ipv4", d.tunnel_excluded_flows_ipv4);
  v("tunnel_excluded_flows_ipv6", d.tunnel_excluded_flows_ipv6);
  v("observed_public_destinations_ipv4", d.observed_public_destinations_ipv4);
  v("observed_public_destinations_ipv6", d.observed_public_destinations_ipv6);
  v("candidate_bypass_routes_ipv4", d.candidate_bypass_routes_ipv4);
  v("candidate_bypass_routes_ipv6", d.candidate_bypass_routes_ipv6);
  v("static_bypass_routes_ipv4", d.static_bypass_routes_ipv4);
  v("static_bypass_routes_ipv6", d.static_bypass_routes_ipv6);
  v("learned_bypass_routes_ipv4", d.learned_bypass_routes_ipv4);
  v("learned_bypass_routes_ipv6", d.learned_bypass_routes_ipv6);
  v("first_hit_gap_routes_ipv4", d.first_hit_gap_routes_ipv4);
  v("first_hit_gap_routes_ipv6", d.first_hit_gap_routes_ipv6);
  v("enforcement_ready_routes_ipv4", d.enforcement_ready_routes_ipv4);
  v("enforcement_ready_routes_ipv6", d.enforcement_ready_routes_ipv6);
  v("planned_bypass_routes_ipv4", d.planned_bypass_routes_ipv4);
  v("planned_bypass_routes_ipv6", d.planned_bypass_routes_ipv6);
  v("applied_bypass_routes_ipv4", d.applied_bypass_routes_ipv4);
  v("applied_bypass_routes_ipv6", d.applied_bypass_routes_ipv6);
  v("route_drift_routes_ipv4", d.route_drift_routes_ipv4);
  v("route_drift_routes_ipv6", d.route_drift_routes_ipv6);
  v("stale_pid_snapshots", d.stale_pid_snapshots);
  v("enforcement_plan_ready", d.enforcement_plan_ready);
  v("enforcement_plan_revision", d.enforcement_plan_revision);
  v("enforcement_plan_summary", d.enforcement_plan_summary);
}

}  // namespace kivo
