#include "server/packet_steering_monitor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "server/dispatcher.h"
#include "server/features.h"
#include "testing/fake_env.h"

namespace kivo {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using std::chrono::milliseconds;

const std::string kApp = "/Applications/Firefox.app";

struct SteeringServer : ::testing::Test {
  SteeringServer() {
    env.existing_paths = {kApp};
    env.script_ok("nettop -n -L 1 -p 4711",
                  "time,,interface\n1,firefox.4711,,\n1,tcp4 192.0.2.2:5<->17.1.2.3:443,utun200,\n");
  }
  protocol::HelperResponse send(protocol::HelperRequest request) { return dispatch(features, request); }
  // Throws, failing the test, on an answer of another kind.
  protocol::response::PacketSteeringEngineStatus status(protocol::HelperRequest request) {
    return std::get<protocol::response::PacketSteeringEngineStatus>(send(std::move(request)));
  }
  testing::FakeEnv env;
  Features features{env};
  Monitor monitor = packet_steering_monitor(env, features.steering);
};

// Each request's status as it promises, the monitor's pace while apps are staged, and recovery
// taking the engine down before the QUIC block.
TEST_F(SteeringServer, StatusesFollowEachRequestTheMonitorPassesEverySecondAndRecoverGoesFirst) {
  // Not staged: no pause before the first, 3 s after it, and nothing to report (stderr below).
  run_monitor_rounds(env, monitor, 2);
  EXPECT_EQ(env.slept, milliseconds(3000));

  auto staged = status(protocol::StagePacketSteeringEngine{{kApp}, {}, "192.0.2.1", false});
  // That no pass has run yet, and so the diagnostics are all zero, is the engine's stage test.
  EXPECT_EQ(std::pair(staged.staged, staged.app_count), std::pair(true, std::uint64_t{1}));
  // PID update: no observer and no tunnel flows are named, whatever the pass saw.
  auto updated = status(protocol::UpdatePacketSteeringPids{1, {{"Firefox", kApp, {4711}}}});
  const auto& u = updated.diagnostics;
  EXPECT_EQ(std::tuple(updated.staged, updated.active, updated.route_count, updated.note.has_value()),
            std::tuple(true, true, std::uint64_t{1}, true));
  EXPECT_EQ(std::tuple(u.observation_source, u.tunnel_excluded_flows_ipv4, u.active_excluded_flows_ipv4),
            std::tuple(std::nullopt, std::uint64_t{0}, std::uint64_t{1}));

  env.slept = milliseconds(0);
  run_monitor_rounds(env, monitor, 3);
  EXPECT_EQ(env.slept, milliseconds(2000));
  EXPECT_THAT(env.stderr_lines, IsEmpty());

  // Verify answers the pass's diagnostics whole (their values are the engine tests').
  const auto v = status(protocol::VerifyPacketSteeringEngine{}).diagnostics;
  EXPECT_EQ(std::pair(v.observation_source, v.tunnel_excluded_flows_ipv4),
            std::pair(std::optional<std::string>("nettop"), std::uint64_t{1}));

  auto restored = status(protocol::RestorePacketSteeringEngine{});
  EXPECT_EQ(std::tuple(restored.staged, restored.active, restored.app_count, restored.route_count, restored.note),
            std::tuple(false, false, std::uint64_t{1}, std::uint64_t{1}, std::nullopt));
  EXPECT_EQ(restored.diagnostics.observation_source, "nettop");

  auto failed = std::get<protocol::response::Err>(send(protocol::VerifyPacketSteeringEngine{}));
  EXPECT_EQ(failed.code, "PacketSteeringEngineVerifyFailed");
  failed = std::get<protocol::response::Err>(send(protocol::StagePacketSteeringEngine{{kApp}, {}, "nope", false}));
  EXPECT_EQ(std::pair(failed.code, failed.message),
            (std::pair<std::string, std::string>("PacketSteeringEngineStageFailed", "Invalid IP provided: nope")));

  // Recovery takes the engine's routes down before the QUIC block's.
  status(protocol::StagePacketSteeringEngine{{kApp}, {}, "192.0.2.1", false});
  status(protocol::UpdatePacketSteeringPids{1, {{"Firefox", kApp, {4711}}}});
  env.clear_commands();
  EXPECT_TRUE(std::holds_alternative<protocol::response::Ok>(send(protocol::Recover{})));
  auto lines = env.commands();
  auto steering = std::find(lines.begin(), lines.end(), "route -n delete -host 17.1.2.3 192.0.2.1");
  auto quic = std::find_if(lines.begin(), lines.end(), [](const auto& l) { return l.find("KivoVPNQuic") != l.npos; });
  ASSERT_NE(quic, lines.end());
  EXPECT_LT(steering, quic);  // and so found

  env.script_fail("route -n add -host 17.1.2.3 192.0.2.1", "route: writing to routing socket: Network is unreachable");
  status(protocol::StagePacketSteeringEngine{{}, {}, "192.0.2.1", false});
  status(protocol::UpdatePacketSteeringPids{2, {{"Firefox", kApp, {4711}}}});
  env.slept = milliseconds(0);
  run_monitor_rounds(env, monitor, 2);
  EXPECT_EQ(env.slept, milliseconds(3000));  // staged, but without application paths
  const std::string each_pass = "Packet steering engine watchdog reconcile error: Failed adding packet steering "
                                "route 17.1.2.3: route: writing to routing socket: Network is unreachable";
  EXPECT_THAT(env.stderr_lines, ElementsAre(each_pass, each_pass));
}

}  // namespace
}  // namespace kivo
