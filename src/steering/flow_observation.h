// Asks the system which flows the excluded processes have: `nettop` first (3.5 s), `lsof` when
// nettop fails (1.5 s). The one piece of the engine's core that runs commands.
#pragma once

#include <cstdint>
#include <set>

#include "base/result.h"
#include "os/env.h"
#include "steering/steering_state.h"

namespace kivo {

// Every PID of the accepted snapshot, ascending, without duplicates.
std::set<std::uint32_t> packet_steering_pid_set(const HelperPacketSteeringEngineState& state);

// An empty snapshot (no observer) when there are no PIDs or lsof finds no network file; an
// error only when nettop fails and lsof times out.
Result<PacketSteeringObservationSnapshot> observe_packet_steering_flows(Env& env,
                                                                        const HelperPacketSteeringEngineState& state);

}  // namespace kivo
