#include "steering/flow_learning.h"

#include "split/lsof_peers.h"

namespace kivo {
namespace {

std::uint64_t age_of(std::uint64_t seen, std::uint64_t now) { return now > seen ? now - seen : 0; }

bool expired(std::uint64_t seen, std::uint64_t now) {
  return age_of(seen, now) > kPacketSteeringLastSeenLifetimeSeconds;
}

void drop_expired(LastSeenMap& map, std::uint64_t now) {
  std::erase_if(map, [now](const auto& entry) { return expired(entry.second, now); });
}

// A recycle attempt is remembered while its host still reaches us through the tunnel, so the
// 12 s spacing between attempts holds however long the flow lingers.
void drop_expired_attempts(LastSeenMap& attempts, const LastSeenMap& tunnel_destinations, std::uint64_t now) {
  std::erase_if(attempts, [&](const auto& entry) {
    return expired(entry.second, now) && !tunnel_destinations.count(entry.first);
  });
}

void stamp(LastSeenMap& map, const std::set<std::string>& keys, std::uint64_t now) {
  for (const auto& key : keys) map[key] = now;
}

std::uint64_t count_missing(const std::set<std::string>& keys, const LastSeenMap& map) {
  std::uint64_t missing = 0;
  for (const auto& key : keys) missing += map.count(key) ? 0 : 1;
  return missing;
}

}  // namespace

PacketSteeringFirstHitGaps count_packet_steering_first_hit_gaps(const HelperPacketSteeringEngineState& state,
                                                                const PacketSteeringObservationSnapshot& snapshot) {
  return {count_missing(snapshot.candidate_routes_ipv4, state.candidate_route_last_seen_at_ipv4),
          count_missing(snapshot.candidate_routes_ipv6, state.candidate_route_last_seen_at_ipv6)};
}

void learn_packet_steering_observations(HelperPacketSteeringEngineState& state,
                                        const PacketSteeringObservationSnapshot& snapshot, std::uint64_t now) {
  stamp(state.observed_destination_last_seen_at_ipv4, snapshot.observed_public_destinations_ipv4, now);
  stamp(state.observed_destination_last_seen_at_ipv6, snapshot.observed_public_destinations_ipv6, now);
  drop_expired(state.observed_destination_last_seen_at_ipv4, now);
  drop_expired(state.observed_destination_last_seen_at_ipv6, now);
  stamp(state.candidate_route_last_seen_at_ipv4, snapshot.candidate_routes_ipv4, now);
  stamp(state.candidate_route_last_seen_at_ipv6, snapshot.candidate_routes_ipv6, now);
  stamp(state.tunnel_destination_last_seen_at_ipv4, snapshot.tunnel_destinations_ipv4, now);
  stamp(state.tunnel_destination_last_seen_at_ipv6, snapshot.tunnel_destinations_ipv6, now);
}

void prune_packet_steering_observation_cache(HelperPacketSteeringEngineState& state, std::uint64_t now) {
  for (LastSeenMap* map : {&state.observed_destination_last_seen_at_ipv4, &state.observed_destination_last_seen_at_ipv6,
                           &state.candidate_route_last_seen_at_ipv4, &state.candidate_route_last_seen_at_ipv6,
                           &state.tunnel_destination_last_seen_at_ipv4, &state.tunnel_destination_last_seen_at_ipv6})
    drop_expired(*map, now);
  drop_expired_attempts(state.tunnel_flow_recycle_last_attempt_at_ipv4, state.tunnel_destination_last_seen_at_ipv4, now);
  drop_expired_attempts(state.tunnel_flow_recycle_last_attempt_at_ipv6, state.tunnel_destination_last_seen_at_ipv6, now);

  trim_last_seen_map_to_limit(state.observed_destination_last_seen_at_ipv4, kPacketSteeringObservedLimit);
  trim_last_seen_map_to_limit(state.observed_destination_last_seen_at_ipv6, kPacketSteeringObservedLimit);
  trim_last_seen_map_to_limit(state.candidate_route_last_seen_at_ipv4, kPacketSteeringCandidateLimit);
  trim_last_seen_map_to_limit(state.candidate_route_last_seen_at_ipv6, kPacketSteeringCandidateLimit);
  trim_last_seen_map_to_limit(state.tunnel_destination_last_seen_at_ipv4, kPacketSteeringTunnelDestinationLimit);
  trim_last_seen_map_to_limit(state.tunnel_destination_last_seen_at_ipv6, kPacketSteeringTunnelDestinationLimit);
}

}  // namespace kivo
