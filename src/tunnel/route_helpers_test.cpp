#include "tunnel/route_helpers.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/fake_env.h"

namespace kivo {
namespace {

using ::testing::ElementsAre;

TEST(EnsureRoutes, ReplaceAnExistingRoute) {
  testing::FakeEnv env;
  env.script("route add -host 203.0.113.5 192.168.1.1", {fail("routing socket: File exists"), std::string()});
  env.script_fail("route delete -host 203.0.113.5 192.168.1.1", "not in table");  // ignored
  EXPECT_TRUE(ensure_host_route(env, "203.0.113.5", "192.168.1.1").ok());
  env.script("route add -net 0.0.0.0/1 -interface utun203", {fail("File exists"), std::string()});
  EXPECT_TRUE(ensure_default_half_route(env, "0.0.0.0/1", "utun203").ok());
  EXPECT_THAT(env.commands(),
              ElementsAre("route add -host 203.0.113.5 192.168.1.1", "route delete -host 203.0.113.5 192.168.1.1",
                          "route add -host 203.0.113.5 192.168.1.1", "route add -net 0.0.0.0/1 -interface utun203",
                          "route delete -net 0.0.0.0/1 -interface utun203", "route delete -net 0.0.0.0/1",
                          "route add -net 0.0.0.0/1 -interface utun203"));
  // A replacement that fails names the last error.
  env.script("route add -host 203.0.113.5 192.168.1.1", {fail("File exists"), fail("busy")});
  env.script("route add -net 128.0.0.0/1 -interface utun203", {fail("already exists"), fail("still there")});
  EXPECT_EQ(ensure_host_route(env, "203.0.113.5", "192.168.1.1").error(),
            "failed to replace host route 203.0.113.5 via 192.168.1.1: busy");
  EXPECT_EQ(ensure_default_half_route(env, "128.0.0.0/1", "utun203").error(),
            "failed to replace default half-route 128.0.0.0/1 via utun203: still there");
}

TEST(RouteErrorClassifiers, ReadTheTextIgnoringAsciiCase) {
  struct { const char* text; bool exists, missing; } cases[] = {
      {"route: writing to routing socket: File exists", true, false},
      {"ROUTE ALREADY EXISTS", true, false},
      {"delete host 1.2.3.4: not in table", false, true},
      {"route: writing to routing socket: No such process", false, true},
      {"Not Found", false, true},
      {"Network is unreachable", false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_route_exists_error(c.text), c.exists) << c.text;
    EXPECT_EQ(is_route_missing_error(c.text), c.missing) << c.text;
  }
}

}  // namespace
}  // namespace kivo
