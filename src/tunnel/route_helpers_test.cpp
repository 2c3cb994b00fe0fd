#include "tunnel/route_helpers.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "commands/command_runner.h"
#include "commands/system_tools.h"
#include "testing/fake_env.h"
#include "testing/macos_samples.h"

namespace kivo {
namespace {

using ::testing::ElementsAre;
using testing::macos_sample;

// A route run as a real Mac ends it: the failures too exit 0.
CommandResult on_a_mac(const std::string& stdout_sample, const std::string& stderr_sample, int status = 0) {
  return command_output_to_result(stdout_sample.empty() ? "" : macos_sample(stdout_sample),
                                  stderr_sample.empty() ? "" : macos_sample(stderr_sample), ProcessExit{true, status});
}

// An outcome in one line: the gateway a success names, or the error and what it is taken for.
std::string show(const CommandResult& outcome) {
  if (outcome.ok()) return "gateway " + parse_route_gateway(*outcome).value_or("none");
  return outcome.error() + (is_route_exists_error(outcome.error()) ? " [exists]" : "") +
         (is_route_missing_error(outcome.error()) ? " [missing]" : "");
}

TEST(RouteOutcome, FailuresReportedOnTheRoutingSocketFailWhateverTheExitStatus) {
  const std::string kExists = "route: writing to routing socket: File exists [exists]";
  const std::string kMissing = "route: writing to routing socket: not in table [missing]";
  const std::pair<CommandResult, std::string> cases[] = {
      {on_a_mac("route add exists stdout", "route add exists stderr"), kExists},
      {on_a_mac("route delete missing stdout", "route delete missing stderr"), kMissing},
      {on_a_mac("", "route get missing stderr"), kMissing},
      {on_a_mac("route add exists stdout", "route add exists stderr", 1), kExists},
      {on_a_mac("route get default", ""), "gateway 192.168.1.1"},
      {on_a_mac("route get inet6 link-local gateway", ""), "gateway fe80::66cc:22ff:fe21:5a20%en0"},
      {on_a_mac("route get interface only", ""), "gateway none"},
      {CommandResult(fail("route: bad address: utun99")), "route: bad address: utun99"},
      // Other wordings of the same outcomes, in any ASCII case.
      {CommandResult(fail("ROUTE ALREADY EXISTS")), "ROUTE ALREADY EXISTS [exists]"},
      {CommandResult(fail("route: No such process")), "route: No such process [missing]"},
      {CommandResult(fail("Not Found")), "Not Found [missing]"},
  };
  for (const auto& [answer, expected] : cases) EXPECT_EQ(show(route_outcome(answer)), expected) << expected;
}

TEST(EnsureRoutes, ReplaceAnExistingRoute) {
  testing::FakeEnv env;
  env.script("route add -host 203.0.113.5 192.168.1.1",
             {on_a_mac("route add exists stdout", "route add exists stderr"), std::string()});
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
  env.script("route add -host 203.0.113.5 192.168.1.1",
             {fail("File exists"), on_a_mac("", "route delete missing stderr")});
  env.script("route add -net 128.0.0.0/1 -interface utun203", {fail("already exists"), fail("still there")});
  EXPECT_EQ(ensure_host_route(env, "203.0.113.5", "192.168.1.1").error(),
            "failed to replace host route 203.0.113.5 via 192.168.1.1: route: writing to routing socket: not in table");
  EXPECT_EQ(ensure_default_half_route(env, "128.0.0.0/1", "utun203").error(),
            "failed to replace default half-route 128.0.0.0/1 via utun203: still there");
}

}  // namespace
}  // namespace kivo
