// Folds one observation's outcome into the engine state: learning, pruning, planning and the
// diagnostics counters. Pure. The enforcement plan is not run here: a pass runs it once, at its
// end (finish_packet_steering_enforcement_plan), so that its revision moves only when the plan
// itself changes.
#pragma once

#include <cstdint>
#include <string>

#include "steering/steering_state.h"

namespace kivo {

// A successful observation: first-hit gaps, learning when `fresh`, prune, planned and ready lists,
// and every counter but the drift and stale-snapshot ones; clears `engine_last_error` and stamps
// `engine_last_sync_at`.
void record_packet_steering_observation(HelperPacketSteeringEngineState& state,
                                        const PacketSteeringObservationSnapshot& snapshot, bool fresh,
                                        std::uint64_t now);

// A failed observation: prune, planned and ready lists, their counters refreshed, tunnel-flow and
// drift counters zeroed, no observer; `engine_last_error` = `error`.
void record_packet_steering_observation_failure(HelperPacketSteeringEngineState& state, const std::string& error,
                                                std::uint64_t now);

}  // namespace kivo
