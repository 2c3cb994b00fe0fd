#include "commands/binary_resolver.h"

#include <gtest/gtest.h>

#include "testing/fake_env.h"

namespace kivo {
namespace {

const std::string kBundle = "/Applications/Kivo VPN.app/Contents/Resources/binaries/macos/";

TEST(ResolveBinaryPath, PrefersThePrivilegedToolsFolder) {
  testing::FakeEnv env;
  env.existing_paths = {"/Library/PrivilegedHelperTools/wg", kBundle + "x86_64/wg"};
  EXPECT_EQ(*resolve_binary_path(env, "wg"), "/Library/PrivilegedHelperTools/wg");
}

TEST(ResolveBinaryPath, FallsBackThroughTheBundle) {
  testing::FakeEnv env;
  env.existing_paths = {kBundle + "wg"};
  EXPECT_EQ(*resolve_binary_path(env, "wg"), kBundle + "wg");
  env.existing_paths.insert(kBundle + "x86_64/wg");
  EXPECT_EQ(*resolve_binary_path(env, "wg"), kBundle + "x86_64/wg");
}

TEST(ResolveBinaryPath, DerivesTheSupportFolderFromTheInstalledHelper) {
  testing::FakeEnv env;
  EXPECT_EQ(binary_candidates(env, "wg").size(), 3u);  // no installed helper

  env.canonical["/Library/PrivilegedHelperTools/com.kivovpn.helper"] =
      "/Users/ann/Library/Application Support/KivoVPN/com.kivovpn.helper";
  auto candidates = binary_candidates(env, "wg");
  ASSERT_EQ(candidates.size(), 5u);
  EXPECT_EQ(candidates[3], "/Users/ann/Library/Application Support/KivoVPN/binaries/macos/x86_64/wg");
  EXPECT_EQ(candidates[4], "/Users/ann/Library/Application Support/KivoVPN/binaries/macos/wg");

  env.existing_paths = {candidates[4]};
  EXPECT_EQ(*resolve_binary_path(env, "wg"), candidates[4]);
}

TEST(ResolveBinaryPath, HelperTooCloseToTheRootLeavesTheSupportFolderOut) {
  testing::FakeEnv env;
  env.canonical["/Library/PrivilegedHelperTools/com.kivovpn.helper"] = "/opt/com.kivovpn.helper";
  EXPECT_EQ(binary_candidates(env, "wg").size(), 3u);
}

TEST(ResolveBinaryPath, NamesTheMissingProgram) {
  testing::FakeEnv env;
  auto r = resolve_binary_path(env, "wg");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), "Missing privileged binary 'wg'");
}

}  // namespace
}  // namespace kivo
