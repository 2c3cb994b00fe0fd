#include "steering/route_planning.h"

#include <gtest/gtest.h>

namespace kivo {
namespace {

using Routes = std::vector<std::string>;

TEST(RoutePlanning, StaticRoutesSplitByFamilyWithTheLanRangesWhenAllowed) {
  HelperPacketSteeringEngineState state{.routes = {"1.2.3.0/24", "2001:db8::/32", "1.2.3.0/24"}, .allow_lan = true,
                                        .candidate_route_last_seen_at_ipv4 = {{"10.0.0.0/8", 1}, {"9.9.9.9", 1}},
                                        .candidate_route_last_seen_at_ipv6 = {{"2606:4700::1", 1}}};
  update_packet_steering_planned_routes_for_state(state);
  EXPECT_EQ(state.static_bypass_routes_ipv4,
            (Routes{"1.2.3.0/24", "10.0.0.0/8", "169.254.0.0/16", "172.16.0.0/12", "192.168.0.0/16"}));
  EXPECT_EQ(state.static_bypass_routes_ipv6, Routes{"2001:db8::/32"});
  EXPECT_EQ(state.learned_bypass_routes_ipv4, (Routes{"10.0.0.0/8", "9.9.9.9"}));
  EXPECT_EQ(state.planned_bypass_routes_ipv4,
            (Routes{"1.2.3.0/24", "10.0.0.0/8", "169.254.0.0/16", "172.16.0.0/12", "192.168.0.0/16", "9.9.9.9"}));
  EXPECT_EQ(state.planned_bypass_routes_ipv6, (Routes{"2001:db8::/32", "2606:4700::1"}));

  update_packet_steering_enforcement_ready_routes_for_state(state, {"9.9.9.9", "2001:db8::/32"}, {});
  EXPECT_EQ(state.enforcement_ready_routes_ipv4,
            (Routes{"1.2.3.0/24", "10.0.0.0/8", "169.254.0.0/16", "172.16.0.0/12", "192.168.0.0/16"}));
  EXPECT_EQ(state.enforcement_ready_routes_ipv6, state.planned_bypass_routes_ipv6);

  state.allow_lan = false;
  state.candidate_route_last_seen_at_ipv4.clear();
  update_packet_steering_planned_routes_for_state(state);
  EXPECT_EQ(state.planned_bypass_routes_ipv4, Routes{"1.2.3.0/24"});
  EXPECT_TRUE(state.learned_bypass_routes_ipv4.empty());
}

}  // namespace
}  // namespace kivo
