#include "server/feature_report.h"

#include <gtest/gtest.h>

#include "testing/fake_env.h"

namespace kivo {
namespace {

using Flags = protocol::HelperFeatureSupport;  // tunnel, firewall, dns, split, quic, custom, steering

TEST(FeatureReport, EachProbeGatesItsFeatures) {
  struct {
    const char* missing;  // a binary that is absent, or a tool line that fails
    Flags flags;
  } cases[] = {
      {"", {true, true, true, true, true, true, true}},
      {"/Library/PrivilegedHelperTools/wg", {false, true, true, true, true, true, true}},
      {"pfctl -s info", {true, false, true, false, false, false, false}},
      {"route -n get default", {true, true, true, false, true, false, false}},
      {"networksetup -listallnetworkservices", {true, true, false, true, true, true, true}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.missing);
    testing::FakeEnv env;
    env.existing_paths = {"/Library/PrivilegedHelperTools/wireguard-go", "/Library/PrivilegedHelperTools/wg"};
    env.existing_paths.erase(c.missing);
    env.script_fail(c.missing, "not found");
    auto status = runtime_status(env);
    EXPECT_EQ(status.supported_features, c.flags);
    EXPECT_EQ(status.ready_for_privileged_ops, *c.missing == '\0');
    // Without pf there is no point asking for the default route.
    EXPECT_EQ(env.commands_of("route").empty(), !c.flags.firewall);
  }
  // A Mac without a default route says so on the routing socket, and exits 0.
  testing::FakeEnv env;
  env.script_ok("route -n get default", "route: writing to routing socket: not in table\n");
  EXPECT_FALSE(supported_features(env).split_tunnel);
}

}  // namespace
}  // namespace kivo
