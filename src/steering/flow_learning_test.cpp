#include "steering/flow_learning.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace kivo {
namespace {

constexpr std::uint64_t kNow = 1700000000;

// What a fresh snapshot teaches (stamps and first-hit gaps) is
// SteeringDiagnostics.EachObservationIsLearnedPlannedAndCountedAsFarAsItCanBeKnown; here, what is forgotten.

// The six last-seen maps with their size limits.
std::vector<std::pair<LastSeenMap*, std::size_t>> limited_maps(HelperPacketSteeringEngineState& s) {
  return {{&s.observed_destination_last_seen_at_ipv4, 512}, {&s.observed_destination_last_seen_at_ipv6, 512},
          {&s.candidate_route_last_seen_at_ipv4, 256},      {&s.candidate_route_last_seen_at_ipv6, 256},
          {&s.tunnel_destination_last_seen_at_ipv4, 256},   {&s.tunnel_destination_last_seen_at_ipv6, 256}};
}

TEST(FlowLearning, PruneKeepsFortyFiveSecondsAndAttemptsOfHostsStillInTheTunnelAndTrimsToTheLimits) {
  HelperPacketSteeringEngineState state;
  for (auto [map, limit] : limited_maps(state)) *map = {{"a", kNow - 45}, {"b", kNow - 46}, {"c", kNow + 30}};
  state.tunnel_destination_last_seen_at_ipv4["old-but-tunnelled"] = kNow;
  state.tunnel_flow_recycle_last_attempt_at_ipv4 = {
      {"old-but-tunnelled", kNow - 100}, {"old", kNow - 100}, {"young", kNow - 12}};
  state.tunnel_flow_recycle_last_attempt_at_ipv6 = {{"b", kNow - 46}};  // "b" leaves the tunnel map first

  prune_packet_steering_observation_cache(state, kNow);
  for (auto [map, limit] : limited_maps(state)) {
    map->erase("old-but-tunnelled");
    EXPECT_EQ(*map, (LastSeenMap{{"a", kNow - 45}, {"c", kNow + 30}})) << limit;
  }
  EXPECT_EQ(state.tunnel_flow_recycle_last_attempt_at_ipv4,
            (LastSeenMap{{"old-but-tunnelled", kNow - 100}, {"young", kNow - 12}}));
  EXPECT_TRUE(state.tunnel_flow_recycle_last_attempt_at_ipv6.empty());

  // Each map is trimmed to its limit keeping the newest; which of equally new entries stay is the
  // trim's own affair (see LsofPeers).
  state = {};
  for (auto [map, limit] : limited_maps(state))
    for (int i = 0; i < 600; ++i) (*map)["k" + std::to_string(1000 + i)] = kNow - i % 2;  // 300 a second older
  prune_packet_steering_observation_cache(state, kNow);
  for (auto [map, limit] : limited_maps(state)) {
    EXPECT_EQ(map->size(), limit);
    auto newest = std::count_if(map->begin(), map->end(), [](const auto& entry) { return entry.second == kNow; });
    EXPECT_EQ(static_cast<std::size_t>(newest), std::min<std::size_t>(limit, 300)) << limit;
  }
}

}  // namespace
}  // namespace kivo
