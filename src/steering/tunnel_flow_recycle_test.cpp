#include "steering/tunnel_flow_recycle.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/fake_env.h"

namespace kivo {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

const std::string kKillV4 = "pfctl -k 0.0.0.0/0 -k 17.1.2.3";
const std::string kKillV6 = "pfctl -k ::/0 -k 2606:4700::1";

TEST(Recycle, EachBypassedTunnelHostAtMostEveryTwelveSecondsWithItsErrorsReportedPerHost) {
  testing::FakeEnv env;
  // 17.9.9.9 has no bypass route yet.
  HelperPacketSteeringEngineState state{.tunnel_destination_last_seen_at_ipv4 = {{"17.1.2.3", 90}, {"17.9.9.9", 90}},
                                        .tunnel_destination_last_seen_at_ipv6 = {{"2606:4700::1", 90}},
                                        .applied_bypass_routes_ipv4 = {"17.1.2.3"},
                                        .applied_bypass_routes_ipv6 = {"2606:4700::1"}};
  auto recycle = [&](std::uint64_t now, bool allowed = true) {
    env.clear_commands();
    return recycle_packet_steering_tunnel_flows(env, state, now, allowed);
  };
  EXPECT_THAT(recycle(100), IsEmpty());
  EXPECT_THAT(env.commands(), ElementsAre(kKillV4, kKillV6));
  EXPECT_EQ(env.limits_ms.at(kKillV4), 1000u);
  EXPECT_EQ(state.tunnel_flow_recycle_last_attempt_at_ipv4, (LastSeenMap{{"17.1.2.3", 100}}));
  EXPECT_EQ(state.tunnel_flow_recycle_last_attempt_at_ipv6, (LastSeenMap{{"2606:4700::1", 100}}));
  EXPECT_EQ(std::pair(state.last_tunnel_flow_recycle_count_ipv4, state.last_tunnel_flow_recycle_count_ipv6),
            std::pair(std::uint64_t{1}, std::uint64_t{1}));

  EXPECT_THAT(recycle(111), IsEmpty());
  EXPECT_THAT(env.commands(), IsEmpty());
  EXPECT_EQ(state.last_tunnel_flow_recycle_count_ipv4, 0u);
  EXPECT_THAT(recycle(112), IsEmpty());
  EXPECT_THAT(env.commands(), ElementsAre(kKillV4, kKillV6));

  // Not allowed, though due: nothing is killed, so nothing is counted, and the last count is cleared.
  EXPECT_THAT(recycle(200, /*allowed=*/false), IsEmpty());
  EXPECT_EQ(state.last_tunnel_flow_recycle_count_ipv4, 0u);

  // pf that is off is no failure, but other errors are reported per host.
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"pfctl: pf not enabled", {}},
      {"pfctl: /dev/pf: Device not configured", {}},
      {"pfctl timed out after 1000 ms",
       {"Failed recycling stale IPv4 tunnel flow 17.1.2.3: pfctl timed out after 1000 ms",
        "Failed recycling stale IPv6 tunnel flow 2606:4700::1: pfctl timed out after 1000 ms"}},
  };
  std::uint64_t now = 212;
  for (const auto& [error, reported] : cases) {
    SCOPED_TRACE(error);
    env.script_fail(kKillV4, error);
    env.script_fail(kKillV6, error);
    EXPECT_EQ(recycle(now), reported);
    EXPECT_EQ(state.last_tunnel_flow_recycle_count_ipv4 + state.last_tunnel_flow_recycle_count_ipv6, 0u);
    EXPECT_EQ(state.tunnel_flow_recycle_last_attempt_at_ipv4.at("17.1.2.3"), now);  // attempted all the same
    now += 12;
  }
}

}  // namespace
}  // namespace kivo
