// The engine's bypass routes in the kernel: installing the ready ones through the physical
// gateway, confirming and repairing those it holds, and withdrawing the rest. Routes that another
// feature owns (the reserved set) are never added or deleted here; they count as in place, except
// the tunnel's half-default networks, which lead into the tunnel and so are no bypass.
#pragma once

#include <optional>
#include <set>
#include <string>

#include "base/result.h"
#include "os/env.h"
#include "steering/steering_state.h"
#include "tunnel/runtime_state.h"

namespace kivo {

// `route -n get` of the route's address names the state's gateway for its family.
bool verify_packet_steering_route_gateway(Env& env, const std::string& route,
                                          const HelperPacketSteeringEngineState& state, bool is_host);
Status delete_packet_steering_route(Env& env, const std::string& route, const HelperPacketSteeringEngineState& state,
                                    bool is_host);
// Deletes every applied route that is not reserved; routes already gone are not failures. The
// state is not changed.
Status clear_packet_steering_applied_routes_for_state(Env& env, const HelperPacketSteeringEngineState& state,
                                                      const std::set<std::string>& reserved);

// One round of application: drift check of the applied routes, removal of those no longer
// desired, addition of the desired ones. With `allowed` false nothing is desired. Sets the applied
// lists and the drift counters; yields the pass's last route failure, if any. Before each add the
// engine's record is saved with the route among the applied ones; a route that cannot be recorded
// is not added.
std::optional<std::string> apply_packet_steering_routes(Env& env, HelperPacketSteeringEngineState& state,
                                                        const std::set<std::string>& reserved, bool allowed);

}  // namespace kivo
