#include "pf/pf_anchor.h"

#include <gtest/gtest.h>

namespace kivo {
namespace {

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

}  // namespace
}  // namespace kivo
