#include "steering/flow_observation.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/fake_env.h"

namespace kivo {
namespace {

using ::testing::ElementsAre;

const std::string kNettop = "nettop -n -L 1 -p 12 -p 4711 -p 4712";
const std::string kLsof = "lsof -n -P -a -i -p 12,4711,4712";

TEST(Observation, NettopIsAskedOncePerPidInAscendingOrderElseLsofAndOnlyItsTimeOutFails) {
  testing::FakeEnv env;
  HelperPacketSteeringEngineState state{.tracked_apps = {{"Firefox", "/f", {4712, 4711}}, {"Chat", "/c", {12, 4711}}}};
  auto observe = [&] { return observe_packet_steering_flows(env, state); };
  // That the record's static routes are no candidates is EngineTest.TheTunnelsOwnRoutesAreNeverTakenOver.
  env.script_ok(kNettop, "t,firefox.4711,\nt,tcp4 10.0.0.2:1<->17.1.2.3:443,en0,\n");
  EXPECT_EQ(observe()->observer, "nettop");
  EXPECT_THAT(env.commands(), ElementsAre(kNettop));
  EXPECT_EQ(env.limits_ms.at(kNettop), 3500u);

  // lsof stands in when nettop fails; that only its time-out is an error, and its text, is
  // EngineTest.APassJoinsItsObservationRouteAndRecycleErrors.
  const std::pair<CommandResult, std::optional<std::string>> cases[] = {  // lsof's answer, the observer seen
      {CommandResult("firefox 4711 me 3u IPv4 0 0t0 TCP 10.0.0.2:1->17.1.2.3:443 (ESTABLISHED)\n"), "lsof"},
      {CommandResult(" \n"), std::nullopt},
      {CommandResult(fail("lsof exited with status 1")), std::nullopt},
  };
  env.script_fail(kNettop, "nettop: No such file or directory");
  for (const auto& [lsof, observer] : cases) {
    env.clear_commands();
    env.script(kLsof, {lsof});
    auto snapshot = observe();
    EXPECT_THAT(env.commands(), ElementsAre(kNettop, kLsof));
    EXPECT_EQ(env.limits_ms.at(kLsof), 1500u);
    ASSERT_TRUE(snapshot.ok()) << snapshot.error();
    EXPECT_EQ(snapshot->observer, observer);
    EXPECT_EQ(snapshot->active_excluded_flows_ipv4, observer ? 1u : 0u);
  }
}

}  // namespace
}  // namespace kivo
