#include "steering/flow_learning.h"

#include <gtest/gtest.h>

namespace kivo {
namespace {

constexpr std::uint64_t kNow = 1700000000;

TEST(FlowLearning, GapsAreCandidatesNotYetLearnedAndLearningStampsEverything) {
  HelperPacketSteeringEngineState state;
  state.candidate_route_last_seen_at_ipv4 = {{"17.1.2.3", kNow - 10}};
  state.observed_destination_last_seen_at_ipv4 = {{"9.9.9.9", kNow - 46}, {"8.8.8.8", kNow - 45}};
  state.observed_destination_last_seen_at_ipv6 = {{"2001:db8::9", kNow - 100}};
  PacketSteeringObservationSnapshot snapshot;
  snapshot.observed_public_destinations_ipv4 = {"17.1.2.3", "1.1.1.1"};
  snapshot.candidate_routes_ipv4 = {"17.1.2.3", "1.1.1.1"};
  snapshot.candidate_routes_ipv6 = {"2001:db8::1", "2001:db8::2"};
  snapshot.tunnel_destinations_ipv6 = {"2001:db8::1"};

  EXPECT_EQ(count_packet_steering_first_hit_gaps(state, snapshot), (PacketSteeringFirstHitGaps{1, 2}));
  learn_packet_steering_observations(state, snapshot, kNow);
  EXPECT_EQ(state.observed_destination_last_seen_at_ipv4,
            (LastSeenMap{{"1.1.1.1", kNow}, {"17.1.2.3", kNow}, {"8.8.8.8", kNow - 45}}));
  EXPECT_TRUE(state.observed_destination_last_seen_at_ipv6.empty());
  EXPECT_EQ(state.candidate_route_last_seen_at_ipv4, (LastSeenMap{{"1.1.1.1", kNow}, {"17.1.2.3", kNow}}));
  EXPECT_EQ(state.candidate_route_last_seen_at_ipv6, (LastSeenMap{{"2001:db8::1", kNow}, {"2001:db8::2", kNow}}));
  EXPECT_EQ(state.tunnel_destination_last_seen_at_ipv6, (LastSeenMap{{"2001:db8::1", kNow}}));
  EXPECT_EQ(count_packet_steering_first_hit_gaps(state, snapshot), (PacketSteeringFirstHitGaps{0, 0}));
}

TEST(FlowLearning, PruneKeepsFortyFiveSecondsAndAttemptsOfHostsStillInTheTunnel) {
  HelperPacketSteeringEngineState state;
  const LastSeenMap aged = {{"a", kNow - 45}, {"b", kNow - 46}, {"c", kNow + 30}};
  for (LastSeenMap* map : {&state.observed_destination_last_seen_at_ipv4, &state.observed_destination_last_seen_at_ipv6,
                           &state.candidate_route_last_seen_at_ipv4, &state.candidate_route_last_seen_at_ipv6,
                           &state.tunnel_destination_last_seen_at_ipv4, &state.tunnel_destination_last_seen_at_ipv6})
    *map = aged;
  state.tunnel_destination_last_seen_at_ipv4["old-but-tunnelled"] = kNow;
  state.tunnel_flow_recycle_last_attempt_at_ipv4 = {
      {"old-but-tunnelled", kNow - 100}, {"old", kNow - 100}, {"young", kNow - 12}};
  state.tunnel_flow_recycle_last_attempt_at_ipv6 = {{"b", kNow - 46}};  // "b" leaves the tunnel map first

  prune_packet_steering_observation_cache(state, kNow);
  const LastSeenMap kept = {{"a", kNow - 45}, {"c", kNow + 30}};
  EXPECT_EQ(state.observed_destination_last_seen_at_ipv4, kept);
  EXPECT_EQ(state.candidate_route_last_seen_at_ipv6, kept);
  EXPECT_EQ(state.tunnel_destination_last_seen_at_ipv6, kept);
  EXPECT_EQ(state.tunnel_flow_recycle_last_attempt_at_ipv4,
            (LastSeenMap{{"old-but-tunnelled", kNow - 100}, {"young", kNow - 12}}));
  EXPECT_TRUE(state.tunnel_flow_recycle_last_attempt_at_ipv6.empty());
}

TEST(FlowLearning, PruneTrimsEachMapToItsLimitNewestFirstThenSmallestKeys) {
  HelperPacketSteeringEngineState state;
  for (int i = 0; i < 300; ++i) {
    state.candidate_route_last_seen_at_ipv4["17.0." + std::to_string(i / 256) + "." + std::to_string(i % 256)] = kNow;
    state.tunnel_destination_last_seen_at_ipv6["2001:db8::" + std::to_string(i)] = kNow - (i % 2);
  }
  for (int i = 0; i < 600; ++i) state.observed_destination_last_seen_at_ipv4["o" + std::to_string(1000 + i)] = kNow - i % 40;
  prune_packet_steering_observation_cache(state, kNow);

  ASSERT_EQ(state.candidate_route_last_seen_at_ipv4.size(), 256u);
  EXPECT_EQ(state.candidate_route_last_seen_at_ipv4.begin()->first, "17.0.0.0");
  EXPECT_EQ(state.candidate_route_last_seen_at_ipv4.rbegin()->first, "17.0.0.99");  // byte order, not numeric
  EXPECT_FALSE(state.candidate_route_last_seen_at_ipv4.count("17.0.1.0"));
  // All 150 newest stay; the older ones fill the rest from the smallest key up.
  EXPECT_EQ(state.tunnel_destination_last_seen_at_ipv6.size(), 256u);
  std::string largest_kept_older, smallest_dropped = "~";
  for (int i = 0; i < 300; ++i) {
    std::string key = "2001:db8::" + std::to_string(i);
    bool kept = state.tunnel_destination_last_seen_at_ipv6.count(key) > 0;
    if (i % 2 == 0) EXPECT_TRUE(kept) << key;
    else if (kept) largest_kept_older = std::max(largest_kept_older, key);
    else smallest_dropped = std::min(smallest_dropped, key);
  }
  EXPECT_LT(largest_kept_older, smallest_dropped);
  EXPECT_EQ(state.observed_destination_last_seen_at_ipv4.size(), 512u);
}

}  // namespace
}  // namespace kivo
