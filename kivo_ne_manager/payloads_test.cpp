#include "kivo_ne_manager/payloads.h"

#include <gtest/gtest.h>

namespace kivo::nem {
namespace {

const std::string kKeys =
    R"("privateKey":"cGs=","address":"10.8.0.2/32","dns":"10.8.0.1","peerPublicKey":"cHVi",)"
    R"("peerEndpoint":"203.0.113.5:51820","allowedIps":"0.0.0.0/0")";

TEST(ConnectPayload, OptionalNumbersMayBeAbsentOrNullAndUnknownKeysAreIgnored) {
  for (const std::string extra : {"", R"(,"mtu":null,"keepaliveSeconds":null)", R"(,"colour":"blue")"}) {
    auto p = decode_connect_payload("{" + kKeys + R"(,"excludedApps":[])" + extra + "}");
    ASSERT_TRUE(p.ok()) << p.error();
    EXPECT_EQ(p->mtu, std::nullopt);
    EXPECT_EQ(p->keepalive_seconds, std::nullopt);
    EXPECT_EQ(p->peer_endpoint, "203.0.113.5:51820");
  }
  auto p = decode_connect_payload("{" + kKeys + R"(,"mtu":1420,"keepaliveSeconds":10,"excludedApps":["/Applications/A.app"]})");
  ASSERT_TRUE(p.ok()) << p.error();
  EXPECT_EQ(p->mtu, 1420u);
  EXPECT_EQ(p->keepalive_seconds, 10u);
  EXPECT_EQ(p->excluded_apps, std::vector<std::string>{"/Applications/A.app"});
}

TEST(ConnectPayload, RejectsWhatTheDecoderCannotTake) {
  const std::pair<std::string, std::string> cases[] = {
      {"{" + kKeys + "}", "Invalid connect payload: missing field `excludedApps`"},
      {R"({"privateKey":"k","excludedApps":[]})", "Invalid connect payload: missing field `address`"},
      {"{" + kKeys + R"(,"mtu":"1280","excludedApps":[]})", "Invalid connect payload: invalid type for field `mtu`, expected u64 or null"},
      {"{" + kKeys + R"(,"excludedApps":[1]})", "Invalid connect payload: invalid type for field `excludedApps`, expected a sequence of strings"},
      {"{" + kKeys + R"(,"mtu":-1,"excludedApps":[]})",
       "Invalid connect payload: field `mtu` must be a whole number from 0 to 9223372036854775807"},
      {"{" + kKeys + R"(,"keepaliveSeconds":9223372036854775808,"excludedApps":[]})",
       "Invalid connect payload: field `keepaliveSeconds` must be a whole number from 0 to 9223372036854775807"},
      {"[]", "Invalid connect payload: invalid type: expected a JSON object"},
      {"{", "Invalid connect payload: Missing a name for object member. at offset 1"},
  };
  for (const auto& [json, error] : cases) EXPECT_EQ(decode_connect_payload(json).error(), error) << json;
  EXPECT_EQ(decode_app_rule_payload("{}").error(), "Invalid app rule payload: missing field `excludedApps`");
  EXPECT_EQ(decode_app_rule_payload(R"({"excludedApps":["/x"],"y":1})")->excluded_apps, std::vector<std::string>{"/x"});
}

TEST(Answers, StatusIsCompactAndTheErrorEscapesEverySlash) {
  StatusPayload s{true, false, true, false, "connecting", true, 3};
  EXPECT_EQ(encode_status(s),
            R"({"configured":true,"connected":false,"connecting":true,"disconnecting":false,"status":"connecting",)"
            R"("perAppMode":true,"appRuleCount":3})");
  EXPECT_EQ(encode_failure("No executable found in /Applications/A.app."),
            R"({"error":"No executable found in \/Applications\/A.app."})");
  EXPECT_EQ(encode_failure(R"(a "quoted" \/ path)"), R"({"error":"a \"quoted\" \\\/ path"})");
}

}  // namespace
}  // namespace kivo::nem
