#include "steering/steering_routes.h"

#include <algorithm>

#include "base/ip.h"
#include "base/text.h"
#include "commands/command_runner.h"
#include "commands/system_tools.h"
#include "tunnel/route_helpers.h"

namespace kivo {
namespace {

bool is_ipv6_route(const std::string& route) { return route.find(':') != std::string::npos; }
bool is_host_route(const std::string& route) { return route.find('/') == std::string::npos; }

// A reserved route counts as in place, as a bypass, unless it is one of the tunnel's
// half-default networks: those carry their traffic into the tunnel, the opposite of a bypass.
bool reserved_in_place(const std::set<std::string>& reserved, const std::string& route) {
  return reserved.count(route) && !kTunnelHalfDefaults.count(route);
}

// The state's gateway for the route's family; none for IPv6 when the stage found no IPv6 gateway.
std::optional<std::string> gateway_for(const std::string& route, const HelperPacketSteeringEngineState& state) {
  if (is_ipv6_route(route)) return state.ipv6_gateway;
  return state.gateway;
}

std::string no_ipv6_gateway(const std::string& route) {
  return "No physical IPv6 gateway is available for route " + route;
}

CommandResult add_route(Env& env, const std::string& route, const std::string& gateway) {
  return run_route(env, route_args::numeric_add(route, gateway, is_host_route(route), is_ipv6_route(route)));
}

void saturating_increment(std::uint64_t& counter) { counter = saturating_add(counter, 1); }

void set_applied(HelperPacketSteeringEngineState& state, const std::set<std::string>& routes) {
  state.applied_bypass_routes_ipv4.clear();
  state.applied_bypass_routes_ipv6.clear();
  for (const auto& route : routes)
    (is_ipv6_route(route) ? state.applied_bypass_routes_ipv6 : state.applied_bypass_routes_ipv4).push_back(route);
}

// The record names a route as applied before its add runs: a pass that dies after the add
// leaves the route in a record that restore and the next pass read, never in the kernel alone.
// A route that turns out not to be there is later counted as drift or found missing by a delete.
Status record_before_adding(Env& env, const HelperPacketSteeringEngineState& state,
                            const std::set<std::string>& confirmed, const std::string& route) {
  HelperPacketSteeringEngineState pending = state;
  std::set<std::string> applied = confirmed;
  applied.insert(route);
  set_applied(pending, applied);
  return save_packet_steering_state(env, pending);
}

}  // namespace

bool verify_packet_steering_route_gateway(Env& env, const std::string& route,
                                          const HelperPacketSteeringEngineState& state, bool is_host) {
  auto expected = gateway_for(route, state);
  if (!expected) return false;
  std::string target = is_host ? route : route.substr(0, route.find('/'));
  auto looked_up = run_route(env, route_args::get(target, is_ipv6_route(route)));
  if (!looked_up) return false;
  auto next_hop = parse_route_gateway(*looked_up);
  return next_hop && *next_hop == *expected;
}

Status delete_packet_steering_route(Env& env, const std::string& route, const HelperPacketSteeringEngineState& state,
                                    bool is_host) {
  auto gateway = gateway_for(route, state);
  if (!gateway) return fail(no_ipv6_gateway(route));
  auto deleted =
      run_route(env, route_args::numeric_delete(route, *gateway, is_host, is_ipv6_route(route)));
  if (!deleted) return fail(deleted.error());
  return {};
}

Status clear_packet_steering_applied_routes_for_state(Env& env, const HelperPacketSteeringEngineState& state,
                                                      const std::set<std::string>& reserved) {
  std::vector<std::string> failures;
  for (const auto* list : {&state.applied_bypass_routes_ipv4, &state.applied_bypass_routes_ipv6}) {
    for (const auto& route : *list) {
      if (reserved.count(route)) continue;
      auto deleted = delete_packet_steering_route(env, route, state, is_host_route(route));
      if (!deleted && !is_route_missing_error(deleted.error()))
        failures.push_back(route + " (" + deleted.error() + ")");
    }
  }
  if (!failures.empty()) return fail(join(failures, " | "));
  return {};
}

std::optional<std::string> apply_packet_steering_routes(Env& env, HelperPacketSteeringEngineState& state,
                                                        const std::set<std::string>& reserved, bool allowed) {
  std::set<std::string> desired;
  if (allowed) {
    desired.insert(state.enforcement_ready_routes_ipv4.begin(), state.enforcement_ready_routes_ipv4.end());
    desired.insert(state.enforcement_ready_routes_ipv6.begin(), state.enforcement_ready_routes_ipv6.end());
  }
  std::optional<std::string> route_error;
  std::uint64_t drift_ipv4 = 0;
  std::uint64_t drift_ipv6 = 0;

  std::set<std::string> confirmed;
  for (const auto* list : {&state.applied_bypass_routes_ipv4, &state.applied_bypass_routes_ipv6}) {
    for (const auto& route : *list) {
      if (reserved.count(route)) {
        if (reserved_in_place(reserved, route)) confirmed.insert(route);
      } else if (verify_packet_steering_route_gateway(env, route, state, is_host_route(route))) {
        confirmed.insert(route);
      } else {
        saturating_increment(is_ipv6_route(route) ? drift_ipv6 : drift_ipv4);
      }
    }
  }

  std::vector<std::string> unwanted;
  std::set_difference(confirmed.begin(), confirmed.end(), desired.begin(), desired.end(), std::back_inserter(unwanted));
  for (const auto& route : unwanted) {
    if (reserved.count(route)) {
      confirmed.erase(route);
      continue;
    }
    auto deleted = delete_packet_steering_route(env, route, state, is_host_route(route));
    if (deleted || is_route_missing_error(deleted.error())) {
      confirmed.erase(route);
    } else {
      route_error = "Failed removing packet steering route " + route + ": " + deleted.error();
    }
  }

  std::vector<std::string> missing;
  std::set_difference(desired.begin(), desired.end(), confirmed.begin(), confirmed.end(), std::back_inserter(missing));
  for (const auto& route : missing) {
    if (reserved.count(route)) {
      if (reserved_in_place(reserved, route)) {
        confirmed.insert(route);
      } else {
        route_error = "Packet steering route " + route + " is the tunnel's own route and was left in place";
      }
      continue;
    }
    auto gateway = gateway_for(route, state);
    if (!gateway) {
      route_error = no_ipv6_gateway(route);
      continue;
    }
    if (auto recorded = record_before_adding(env, state, confirmed, route); !recorded) {
      route_error = "Failed recording packet steering route " + route + ": " + recorded.error();
      continue;
    }
    auto added = add_route(env, route, *gateway);
    if (added) {
      confirmed.insert(route);
    } else if (!is_route_exists_error(added.error())) {
      route_error = "Failed adding packet steering route " + route + ": " + added.error();
    } else if (verify_packet_steering_route_gateway(env, route, state, is_host_route(route))) {
      confirmed.insert(route);
    } else {
      (void)delete_packet_steering_route(env, route, state, is_host_route(route));
      auto retried = add_route(env, route, *gateway);
      if (retried) {
        confirmed.insert(route);
      } else {
        route_error = "Packet steering route existed with mismatched gateway and could not be replaced: " +
                      retried.error();
      }
    }
  }

  set_applied(state, confirmed);
  state.diagnostics.route_drift_routes_ipv4 = drift_ipv4;
  state.diagnostics.route_drift_routes_ipv6 = drift_ipv6;
  return route_error;
}

}  // namespace kivo
