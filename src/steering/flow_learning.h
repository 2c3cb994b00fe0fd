// What the engine remembers of its observations: first-hit gaps, the last-seen maps, and their
// ageing and bounds. Pure state transformations.
#pragma once

#include <cstddef>
#include <cstdint>

#include "steering/steering_state.h"

namespace kivo {

inline constexpr std::uint64_t kPacketSteeringLastSeenLifetimeSeconds = 45;
inline constexpr std::size_t kPacketSteeringObservedLimit = 512;
inline constexpr std::size_t kPacketSteeringCandidateLimit = 256;
inline constexpr std::size_t kPacketSteeringTunnelDestinationLimit = 256;

struct PacketSteeringFirstHitGaps {
  std::uint64_t ipv4 = 0;
  std::uint64_t ipv6 = 0;
  bool operator==(const PacketSteeringFirstHitGaps&) const = default;
};

// Candidates of this pass that the candidate maps do not hold yet; count before learning.
PacketSteeringFirstHitGaps count_packet_steering_first_hit_gaps(const HelperPacketSteeringEngineState& state,
                                                                const PacketSteeringObservationSnapshot& snapshot);

// Stamps every observed destination, candidate route and tunnel destination with `now`. Only for a
// fresh snapshot: the caller decides.
void learn_packet_steering_observations(HelperPacketSteeringEngineState& state,
                                        const PacketSteeringObservationSnapshot& snapshot, std::uint64_t now);

// Drops entries older than 45 s (recycle attempts stay while their host is still a tunnel
// destination), then trims each map to its limit, newest first, smaller keys first on ties.
void prune_packet_steering_observation_cache(HelperPacketSteeringEngineState& state, std::uint64_t now);

}  // namespace kivo
