// The enforcement plan: readiness, the user's one-sentence summary, and a signature whose every
// change raises the revision the client watches. Pure.
#pragma once

#include <cstdint>
#include <string>

#include "steering/steering_state.h"

namespace kivo {

std::string packet_steering_plan_signature(const HelperPacketSteeringEngineState& state, bool ready);

// Sets readiness and summary; a new signature is stored, raises the revision by one (saturating)
// and stamps `enforcement_plan_last_updated_at` with `now`.
void update_packet_steering_enforcement_plan_for_state(HelperPacketSteeringEngineState& state, bool fresh,
                                                       std::uint64_t now);

// The plan as above, then readiness, revision and summary copied into the diagnostics. A pass
// calls this once, after application and recycling.
void finish_packet_steering_enforcement_plan(HelperPacketSteeringEngineState& state, bool fresh, std::uint64_t now);

}  // namespace kivo
