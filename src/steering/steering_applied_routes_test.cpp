#include "steering/steering_applied_routes.h"

#include <gtest/gtest.h>

#include "testing/fake_env.h"

namespace kivo {
namespace {

const std::string kRequired =
    R"("app_paths":["/Applications/Chat.app"],"routes":["10.0.0.0/8"],"gateway":"192.168.1.1","allow_lan":true,)"
    R"("pid_generation":3,"tracked_apps":[{"name":"Chat","exe_path":"/x","active_pids":[12,13]}],"updated_at":5)";

std::optional<std::set<std::string>> parse(const std::string& members) {
  return parse_steering_applied_routes("{" + members + "}");
}

TEST(SteeringAppliedRoutes, UnitesBothAppliedListsOfAReadableRecord) {
  EXPECT_EQ(parse(kRequired + R"(,"applied_bypass_routes_ipv4":["1.1.1.1","2.2.2.2"],)" +
                  R"("applied_bypass_routes_ipv6":["2001:db8::1"],"diagnostics":{})"),
            (std::set<std::string>{"1.1.1.1", "2.2.2.2", "2001:db8::1"}));
  EXPECT_EQ(parse(kRequired), std::set<std::string>());
  testing::FakeEnv env;
  EXPECT_TRUE(read_steering_applied_routes(env).empty());
  env.files[kPacketSteeringStatePath] = "{" + kRequired + R"(,"applied_bypass_routes_ipv4":["1.1.1.1"]})";
  EXPECT_EQ(read_steering_applied_routes(env), std::set<std::string>{"1.1.1.1"});
}

TEST(SteeringAppliedRoutes, AnythingButTheRecordProtectsNothing) {
  const std::string head = R"("app_paths":[],"routes":[],"gateway":"g",)";
  for (const std::string& text : {
           "{" + head + R"("allow_lan":false,"pid_generation":0,"tracked_apps":[]})",
           "{" + head + R"("allow_lan":"yes","pid_generation":0,"tracked_apps":[],"updated_at":0})",
           "{" + head + R"("allow_lan":false,"pid_generation":-1,"tracked_apps":[],"updated_at":0})",
           "{" + head + R"("allow_lan":false,"pid_generation":0,"updated_at":0,)" +
               R"("tracked_apps":[{"name":"Chat","exe_path":"/x","active_pids":[4294967296]}]})",
           "{" + kRequired + R"(,"applied_bypass_routes_ipv4":"1.1.1.1"})",
           "{" + kRequired + R"(,"applied_bypass_routes_ipv6":[1]})",
           std::string("[]"),
           std::string("{"),
       })
    EXPECT_EQ(parse_steering_applied_routes(text), std::nullopt) << text;
}

}  // namespace
}  // namespace kivo
