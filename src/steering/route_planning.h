// The routes the engine wants: static ones from the stage (with the LAN ranges when allowed),
// learned ones from the candidate maps, and their union as the planned and ready lists. Pure.
#pragma once

#include <set>
#include <string>

#include "steering/steering_state.h"

namespace kivo {

// Recomputes the static, learned and planned lists of both families.
void update_packet_steering_planned_routes_for_state(HelperPacketSteeringEngineState& state);

// Ready = planned minus the family's exclusion set, order kept.
void update_packet_steering_enforcement_ready_routes_for_state(HelperPacketSteeringEngineState& state,
                                                               const std::set<std::string>& excluded_ipv4,
                                                               const std::set<std::string>& excluded_ipv6);

}  // namespace kivo
