#include "pf/pf_anchor.h"

#include <gtest/gtest.h>

#include "testing/macos_samples.h"

namespace kivo {
namespace {

TEST(PfOutput, ParsesTheLastQualifyingToken) {
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {"Token : 123", std::nullopt},
      {"Token : [98765]", "98765"},
      {"Token : 12a34", std::nullopt},
      {"Token : 4444 then 5555.", "5555"},
      {"Token : 4444 12a34 ", "4444"},
  };
  for (const auto& [text, token] : cases) EXPECT_EQ(parse_pf_token(text), token) << text;
  EXPECT_EQ(parse_pf_token(testing::macos_sample("pfctl enable stderr")), "16302618183469170559");
  EXPECT_EQ(parse_pf_token(testing::macos_sample("pfctl enable again stderr")), std::nullopt);
}

// One rule line means active rules; some failures mean no anchor; the status line says on or off.
TEST(PfOutput, ListingsAbsentAnchorsAndPfStatus) {
  EXPECT_FALSE(has_active_anchor_rules("No ALTQ support in kernel\r\nALTQ related functions disabled\n  # note\n\n  \n"));
  EXPECT_TRUE(has_active_anchor_rules("no altq support in kernel"));  // the notices are case-sensitive
  EXPECT_TRUE(has_active_anchor_rules(testing::macos_sample("pfctl rules")));

  const std::pair<std::string, bool> errors[] = {
      {testing::macos_sample("pfctl missing anchor stderr"), true},
      {testing::macos_sample("pfctl missing anchor stderr without notices"), true},
      {"pfctl: /dev/pf: No such file or directory", true},
      {"pfctl: DIOCADDRULE: Invalid argument", false},
  };
  for (const auto& [error, absent] : errors) EXPECT_EQ(is_anchor_absent_error(error), absent) << error;

  // The status lines that say on and off are read by the kill switch's verify table.
  EXPECT_EQ(parse_pf_status("ALTQ related functions disabled\n"), std::nullopt);
}

}  // namespace
}  // namespace kivo
