#include "steering/route_planning.h"

#include <algorithm>

namespace kivo {
namespace {

constexpr const char* kLanRanges[] = {"10.0.0.0/8", "172.16.0.0/12", "192.168.0.0/16", "169.254.0.0/16"};

std::vector<std::string> keys_of(const LastSeenMap& map) {
  std::vector<std::string> keys;
  for (const auto& [key, seen] : map) keys.push_back(key);
  return keys;
}

std::vector<std::string> sorted_union(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  std::set<std::string> all(a.begin(), a.end());
  all.insert(b.begin(), b.end());
  return {all.begin(), all.end()};
}

std::vector<std::string> without(const std::vector<std::string>& routes, const std::set<std::string>& excluded) {
  std::vector<std::string> kept;
  std::copy_if(routes.begin(), routes.end(), std::back_inserter(kept),
               [&](const std::string& route) { return !excluded.count(route); });
  return kept;
}

}  // namespace

void update_packet_steering_planned_routes_for_state(HelperPacketSteeringEngineState& state) {
  std::set<std::string> ipv4;
  std::set<std::string> ipv6;
  for (const auto& route : state.routes) (route.find(':') != std::string::npos ? ipv6 : ipv4).insert(route);
  if (state.allow_lan) ipv4.insert(std::begin(kLanRanges), std::end(kLanRanges));
  state.static_bypass_routes_ipv4.assign(ipv4.begin(), ipv4.end());
  state.static_bypass_routes_ipv6.assign(ipv6.begin(), ipv6.end());
  state.learned_bypass_routes_ipv4 = keys_of(state.candidate_route_last_seen_at_ipv4);
  state.learned_bypass_routes_ipv6 = keys_of(state.candidate_route_last_seen_at_ipv6);
  state.planned_bypass_routes_ipv4 = sorted_union(state.static_bypass_routes_ipv4, state.learned_bypass_routes_ipv4);
  state.planned_bypass_routes_ipv6 = sorted_union(state.static_bypass_routes_ipv6, state.learned_bypass_routes_ipv6);
}

void update_packet_steering_enforcement_ready_routes_for_state(HelperPacketSteeringEngineState& state,
                                                               const std::set<std::string>& excluded_ipv4,
                                                               const std::set<std::string>& excluded_ipv6) {
  state.enforcement_ready_routes_ipv4 = without(state.planned_bypass_routes_ipv4, excluded_ipv4);
  state.enforcement_ready_routes_ipv6 = without(state.planned_bypass_routes_ipv6, excluded_ipv6);
}

}  // namespace kivo
