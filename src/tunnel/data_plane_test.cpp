#include "tunnel/data_plane.h"

#include <gtest/gtest.h>

#include "testing/fake_env.h"
#include "testing/macos_samples.h"
#include "tunnel/runtime_state.h"

namespace kivo {
namespace {

TEST(ParseWgTransfer, SumsPeerRowsAndNamesTheBadLine) {
  const std::pair<std::string, const char*> cases[] = {
      {testing::macos_sample("wg show transfer"), "3461932 1066404"},
      {"peerA 1 2 extra fields\r\nlonely\ntwo fields\n", "1 2"},
      {"  peerA +5 +6  ", "5 6"},
      {"peerA\xC2\xA0" "10\xE3\x80\x80" "20", "10 20"},  // no-break and ideographic spaces
      {"a 18446744073709551615 1\nb 1 18446744073709551615\n", "18446744073709551615 18446744073709551615"},
      {"", "No peer transfer rows found in wg show output"},
      {"a 1 2\nb 18446744073709551616 1\n", "Invalid rx bytes in wg transfer output: b 18446744073709551616 1"},
      {"b 1 -1\r\n", "Invalid tx bytes in wg transfer output: b 1 -1"},
  };
  for (const auto& [output, expected] : cases) {
    auto t = parse_wg_transfer(output);
    EXPECT_EQ(t.ok() ? std::to_string(t->rx_bytes) + " " + std::to_string(t->tx_bytes) : t.error(), expected) << output;
  }
}

// A failing wg query is pinned with its code by the dispatcher's table.
TEST(DataPlane, ReportsTheCountersOfALiveTunnelOnly) {
  testing::FakeEnv env;
  env.existing_paths.insert("/Library/PrivilegedHelperTools/wg");
  env.files[kTunnelStatePath] = encode_runtime_state({4242, "utun203", "203.0.113.5", "192.168.1.1", 1});
  env.live_pids.insert(4242);
  auto verify = [&] {
    auto s = verify_tunnel_data_plane(env);
    if (!s) return s.error();
    return (s->connected ? "up " : "down ") + s->iface + " " + std::to_string(s->rx_bytes) + " " + std::to_string(s->tx_bytes);
  };
  env.script_ok("/Library/PrivilegedHelperTools/wg show utun203 transfer", "peerA\t100\t200\npeerB\t5\t7\n");
  EXPECT_EQ(verify(), "up utun203 105 207");
  env.existing_paths.clear();
  EXPECT_EQ(verify(), "Missing privileged binary 'wg'");
  env.clear_commands();
  env.live_pids.clear();
  EXPECT_EQ(verify(), "down utun203 0 0");
  env.files.clear();
  EXPECT_EQ(verify(), "down  0 0");
  EXPECT_TRUE(env.commands().empty());
}

}  // namespace
}  // namespace kivo
