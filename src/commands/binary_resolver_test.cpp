#include "commands/binary_resolver.h"

#include <gtest/gtest.h>

#include "testing/fake_env.h"

namespace kivo {
namespace {

const std::string kBundle = "/Applications/Kivo VPN.app/Contents/Resources/binaries/macos/";
const std::string kHelper = "/Library/PrivilegedHelperTools/com.kivovpn.helper";
const std::string kSupport = "/Users/ann/Library/Application Support/KivoVPN/binaries/macos/";

// None found is DataPlane.ReportsTheCountersOfALiveTunnelOnly's.
TEST(ResolveBinaryPath, TakesTheFirstCandidateThatExists) {
  testing::FakeEnv env;
  // The support folder is known only through the installed helper's real location, three
  // levels up; no installed helper, or one too close to the root, leaves it out.
  EXPECT_EQ(binary_candidates(env, "wg").size(), 3u);
  env.canonical[kHelper] = "/opt/com.kivovpn.helper";
  EXPECT_EQ(binary_candidates(env, "wg").size(), 3u);
  env.canonical[kHelper] = "/Users/ann/Library/Application Support/KivoVPN/com.kivovpn.helper";
  EXPECT_EQ(binary_candidates(env, "wg"),
            (std::vector<std::string>{"/Library/PrivilegedHelperTools/wg", kBundle + "x86_64/wg", kBundle + "wg",
                                      kSupport + "x86_64/wg", kSupport + "wg"}));
  for (const auto& path : {kSupport + "wg", kSupport + "x86_64/wg", kBundle + "wg", kBundle + "x86_64/wg",
                           std::string("/Library/PrivilegedHelperTools/wg")}) {
    env.existing_paths.insert(path);
    EXPECT_EQ(*resolve_binary_path(env, "wg"), path);
  }
}

}  // namespace
}  // namespace kivo
