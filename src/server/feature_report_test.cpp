#include "server/feature_report.h"

#include <gtest/gtest.h>

#include "testing/fake_env.h"

namespace kivo {
namespace {

class FeatureReport : public ::testing::Test {
 protected:
  FeatureReport() {
    env.existing_paths = {"/Library/PrivilegedHelperTools/wireguard-go", "/Library/PrivilegedHelperTools/wg"};
  }
  testing::FakeEnv env;
};

TEST_F(FeatureReport, EverythingAvailable) {
  auto status = runtime_status(env);
  EXPECT_TRUE(status.ready_for_privileged_ops);
  EXPECT_EQ(status.supported_features, (protocol::HelperFeatureSupport{true, true, true, true, true, true, true}));
  EXPECT_EQ(env.commands(), (std::vector<std::string>{"pfctl -s info", "networksetup -listallnetworkservices",
                                                      "route -n get default"}));
}

TEST_F(FeatureReport, MissingWgMeansNoTunnelAndNotReady) {
  env.existing_paths.erase("/Library/PrivilegedHelperTools/wg");
  auto status = runtime_status(env);
  EXPECT_FALSE(status.supported_features.tunnel);
  EXPECT_FALSE(status.ready_for_privileged_ops);
  EXPECT_TRUE(status.supported_features.firewall);
}

TEST_F(FeatureReport, NoPfMeansNoFilterFeaturesAndNoRouteProbe) {
  env.script_fail("pfctl -s info", "pfctl: not found");
  auto f = supported_features(env);
  EXPECT_EQ(f, (protocol::HelperFeatureSupport{true, false, true, false, false, false, false}));
  EXPECT_TRUE(env.commands_of("route").empty());
}

TEST_F(FeatureReport, NoDefaultRouteLeavesFirewallDnsAndQuic) {
  env.script_fail("route -n get default", "route: route has not been found");
  auto status = runtime_status(env);
  EXPECT_FALSE(status.ready_for_privileged_ops);
  EXPECT_EQ(status.supported_features, (protocol::HelperFeatureSupport{true, true, true, false, true, false, false}));
}

TEST_F(FeatureReport, DnsProbeStandsAlone) {
  env.script_fail("networksetup -listallnetworkservices", "");
  auto status = runtime_status(env);
  EXPECT_FALSE(status.supported_features.dns);
  EXPECT_FALSE(status.ready_for_privileged_ops);
  EXPECT_TRUE(status.supported_features.packet_steering_engine);
}

}  // namespace
}  // namespace kivo
