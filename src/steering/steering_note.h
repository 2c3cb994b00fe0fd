// When the engine's process snapshot counts as fresh, and the status note shown to the user. Pure:
// `now` is the caller's clock reading (0 when the clock is before the epoch).
#pragma once

#include <cstdint>
#include <string>

#include "steering/steering_state.h"

namespace kivo {

// A snapshot this many seconds old is stale (the note's threshold text says 15 s: 15 is still live).
inline constexpr std::uint64_t kPacketSteeringStaleAfterSeconds = 16;

// now - updated_at, 0 when negative.
std::uint64_t packet_steering_snapshot_age(const HelperPacketSteeringEngineState& state, std::uint64_t now);
// A snapshot has been accepted and is younger than 16 s.
bool is_packet_steering_snapshot_fresh(const HelperPacketSteeringEngineState& state, std::uint64_t now);
std::string packet_steering_note(const HelperPacketSteeringEngineState& state, std::uint64_t now);

}  // namespace kivo
