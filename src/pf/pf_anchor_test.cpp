#include "pf/pf_anchor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/fake_env.h"

namespace kivo {
namespace {

using ::testing::ElementsAre;

TEST(PfOutput, ParsesTheLastQualifyingToken) {
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {"pf enabled\nToken : 1234567890123456\n", "1234567890123456"},
      {"Token : 123", std::nullopt},
      {"Token : [98765]", "98765"},
      {"Token : 12a34", std::nullopt},
      {"Token : 4444 then 5555.", "5555"},
      {"Token : 4444 12a34 ", "4444"},
  };
  for (const auto& [text, token] : cases) EXPECT_EQ(parse_pf_token(text), token) << text;
}

TEST(PfOutput, OneRuleLineMeansActiveRules) {
  EXPECT_FALSE(has_active_anchor_rules(""));
  EXPECT_FALSE(
      has_active_anchor_rules("No ALTQ support in kernel\r\nALTQ related functions disabled\n  # note\n\n  \n"));
  EXPECT_TRUE(has_active_anchor_rules("No ALTQ support in kernel\n  block drop out quick all\n"));
  EXPECT_TRUE(has_active_anchor_rules("no altq support in kernel"));  // the notices are case-sensitive
}

// A feature that insists on a token and verifies translation rules, as the DNS redirection does.
constexpr FeatureAnchor kStrict{.anchor = kDnsAnchor,
                                .rules_path = kDnsRulesPath,
                                .show_kind = "nat",
                                .write_failed = "Failed to write",
                                .load_failed = "Failed to load",
                                .enable_failed = "Failed to enable",
                                .token_missing = "No token",
                                .rules_missing = "Rules missing",
                                .rules_remain = "Rules remain"};

TEST(AnchorProcedure, VerifyErrorRollsBackWithoutTouchingTheKillSwitchRecord) {
  testing::FakeEnv env;
  env.files[kPfStatePath] = "{}";
  env.script_ok("pfctl -E", "Token : 31337");
  EXPECT_EQ(load_anchor(env, kStrict, "rdr\n", [] { return Result<bool>(fail("own words")); }).error(), "own words");
  EXPECT_THAT(env.commands(),
              ElementsAre(::testing::_, "pfctl -E", "pfctl -a com.apple/251.KivoVPNDNS -F all", "pfctl -X 31337"));
  EXPECT_FALSE(env.files.count(kDnsRulesPath));
  EXPECT_TRUE(env.files.count(kPfStatePath));
}

}  // namespace
}  // namespace kivo
