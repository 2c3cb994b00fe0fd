// One complete pass of the packet steering engine over a state held in memory: observe the
// excluded processes' flows, learn and plan, bring the kernel's routes in line with the plan and
// recycle flows still stuck in the tunnel. The caller saves the state.
#pragma once

#include <set>
#include <string>

#include "os/env.h"
#include "steering/steering_state.h"

namespace kivo {

// `reserved`: routes other features own (split bypass, the tunnel), never added or deleted here.
// No failure stops the pass; they are composed into `engine_last_error`.
void refresh_packet_steering_diagnostics_for_state(Env& env, HelperPacketSteeringEngineState& state,
                                                   const std::set<std::string>& reserved);

}  // namespace kivo
