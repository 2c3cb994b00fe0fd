#include "tunnel/data_plane.h"

#include <gtest/gtest.h>

#include <tuple>

#include "testing/fake_env.h"
#include "tunnel/runtime_state.h"

namespace kivo {
namespace {

TEST(ParseWgTransfer, SumsPeerRows) {
  struct Case {
    const char* output;
    std::uint64_t rx, tx;
  } cases[] = {
      {"peerA\t100\t200\npeerB   5    7\n", 105, 207},
      {"peerA 1 2 extra fields\r\nlonely\ntwo fields\n", 1, 2},
      {"  peerA +5 +6  ", 5, 6},
      {"peerA\xC2\xA0" "10\xE3\x80\x80" "20", 10, 20},  // no-break and ideographic spaces
      {"a 18446744073709551615 1\nb 1 18446744073709551615\n", UINT64_MAX, UINT64_MAX},
  };
  for (const auto& c : cases) {
    auto totals = parse_wg_transfer(c.output);
    ASSERT_TRUE(totals.ok()) << c.output << ": " << totals.error();
    EXPECT_EQ(totals->rx_bytes, c.rx) << c.output;
    EXPECT_EQ(totals->tx_bytes, c.tx) << c.output;
  }
}

TEST(ParseWgTransfer, RejectsBadCountersNamingTheLine) {
  struct Case {
    const char* output;
    const char* error;
  } cases[] = {
      {"", "No peer transfer rows found in wg show output"},
      {"peerA\npeerB 5\n\n", "No peer transfer rows found in wg show output"},
      {"a 1 2\nb 18446744073709551616 1\n", "Invalid rx bytes in wg transfer output: b 18446744073709551616 1"},
      {"b 1 -1\r\n", "Invalid tx bytes in wg transfer output: b 1 -1"},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_wg_transfer(c.output).error(), c.error) << c.output;
}

class DataPlaneTest : public ::testing::Test {
 protected:
  DataPlaneTest() {
    env.existing_paths.insert("/Library/PrivilegedHelperTools/wg");
    env.files[kTunnelStatePath] = encode_runtime_state({4242, "utun203", "203.0.113.5", "192.168.1.1", 1});
    env.live_pids.insert(4242);
  }
  testing::FakeEnv env;
  const std::string kShow = "/Library/PrivilegedHelperTools/wg show utun203 transfer";
};

TEST_F(DataPlaneTest, ReportsTheCountersOfALiveTunnel) {
  env.script_ok(kShow, "peerA\t100\t200\npeerB\t5\t7\n");
  auto status = verify_tunnel_data_plane(env);
  ASSERT_TRUE(status.ok()) << status.error();
  EXPECT_EQ(std::tie(status->connected, status->iface, status->rx_bytes, status->tx_bytes),
            std::make_tuple(true, "utun203", 105, 207));
}

TEST_F(DataPlaneTest, NoTunnelIsASuccessWithoutRunningWg) {
  env.live_pids.clear();
  auto dead = verify_tunnel_data_plane(env);
  ASSERT_TRUE(dead.ok());
  EXPECT_EQ(std::tie(dead->connected, dead->iface, dead->rx_bytes, dead->tx_bytes),
            std::make_tuple(false, "utun203", 0, 0));
  env.files.clear();
  auto none = verify_tunnel_data_plane(env);
  ASSERT_TRUE(none.ok());
  EXPECT_EQ(std::tie(none->connected, none->iface), std::make_tuple(false, ""));
  EXPECT_TRUE(env.commands().empty());
}

TEST_F(DataPlaneTest, WgFailuresAreErrors) {
  env.script_fail(kShow, "Unable to access interface: No such device");
  EXPECT_EQ(verify_tunnel_data_plane(env).error(),
            "wg transfer query failed: Unable to access interface: No such device");
  env.existing_paths.clear();
  EXPECT_EQ(verify_tunnel_data_plane(env).error(), "Missing privileged binary 'wg'");
}

}  // namespace
}  // namespace kivo
