#include "steering/steering_routes.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/fake_env.h"
#include "testing/fake_route_table.h"

namespace kivo {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Lines = std::vector<std::string>;
using Kernel = std::map<std::string, std::string>;

const std::string kGw = "192.0.2.1";
const std::string kGw6 = "fe80::1%en0";

// A pass against the record's applied routes and the kernel: each row states the record and the
// kernel it starts from and what differs from the defaults (no error, nothing left, no drift).
// A refused add or delete (the route then stays recorded) is EngineTest.APassJoinsItsObservationRouteAndRecycleErrors.
TEST(ApplyPacketSteeringRoutes, ConfirmReplaceAddAndRemoveWithTheLastErrorKept) {
  const struct {
    const char* name;
    Kernel kernel;
    Lines applied4, applied6, ready4, ready6;
    std::map<std::string, std::vector<std::optional<CommandResult>>> answers;  // else the kernel's
    std::optional<std::string> ipv6_gateway = kGw6;
    bool default_route = false;
    Lines commands, after4, after6;  // the commands: all of them, in order, where given
    std::optional<std::string> error;
    Kernel kernel_after;
    std::uint64_t drift4 = 0, drift6 = 0;
  } cases[] = {
      {.name = "an applied route on another gateway drifts and is replaced in the same pass",
       .kernel = {{"1.1.1.1", "10.9.9.9"}}, .applied4 = {"1.1.1.1"}, .ready4 = {"1.1.1.1"},
       .commands = {"route -n get 1.1.1.1", "route -n add -host 1.1.1.1 192.0.2.1", "route -n get 1.1.1.1",
                    "route -n delete -host 1.1.1.1 192.0.2.1", "route -n add -host 1.1.1.1 192.0.2.1"},
       .after4 = {"1.1.1.1"}, .kernel_after = {{"1.1.1.1", kGw}}, .drift4 = 1},
      {.name = "an unwanted route that fails the check leaves without a delete",
       .applied4 = {"2.2.2.2"}, .applied6 = {"2001:db8::2"},
       .commands = {"route -n get 2.2.2.2", "route -n get -inet6 2001:db8::2"}, .drift4 = 1, .drift6 = 1},
      // 3.3.3.3 is in place through the right gateway; 4.4.4.4 passes the check through the
      // default route but is gone when it is deleted.
      {.name = "present routes are confirmed and gone ones leave quietly",
       .kernel = {{"3.3.3.3", kGw}}, .applied4 = {"4.4.4.4"}, .ready4 = {"3.3.3.3", "5.5.0.0/16"},
       .ready6 = {"2001:db8::/48"}, .default_route = true,
       .commands = {"route -n get 4.4.4.4", "route -n delete -host 4.4.4.4 192.0.2.1",
                    "route -n add -inet6 -net 2001:db8::/48 fe80::1%en0", "route -n add -host 3.3.3.3 192.0.2.1",
                    "route -n get 3.3.3.3", "route -n add -net 5.5.0.0/16 192.0.2.1"},
       .after4 = {"3.3.3.3", "5.5.0.0/16"}, .after6 = {"2001:db8::/48"},
       .kernel_after = {{"2001:db8::/48", kGw6}, {"3.3.3.3", kGw}, {"5.5.0.0/16", kGw}}},
      {.name = "IPv6 without a physical IPv6 gateway", .ready6 = {"2001:db8::5"}, .ipv6_gateway = std::nullopt,
       .error = "No physical IPv6 gateway is available for route 2001:db8::5"},
      {.name = "mismatched and not replaceable", .kernel = {{"7.7.7.7", "10.9.9.9"}}, .ready4 = {"7.7.7.7"},
       .answers = {{"route -n add -host 7.7.7.7 192.0.2.1", {std::nullopt, CommandResult(fail("Unreachable"))}}},
       .error = "Packet steering route existed with mismatched gateway and could not be replaced: Unreachable"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::FakeEnv env;
    testing::FakeRouteTable table{env};
    for (const auto& [destination, gateway] : c.kernel) table.set(destination, gateway);
    for (const auto& [line, answers] : c.answers) table.intercept(line, answers);
    if (c.default_route) table.default_gateway = kGw;
    // The drift count is stale: a pass counts anew.
    HelperPacketSteeringEngineState state{
        .gateway = kGw, .ipv6_gateway = c.ipv6_gateway, .diagnostics = {.route_drift_routes_ipv4 = 7},
        .enforcement_ready_routes_ipv4 = c.ready4, .enforcement_ready_routes_ipv6 = c.ready6,
        .applied_bypass_routes_ipv4 = c.applied4, .applied_bypass_routes_ipv6 = c.applied6};
    EXPECT_EQ(apply_packet_steering_routes(env, state, {}, true), c.error);
    if (!c.commands.empty()) { EXPECT_EQ(env.commands(), c.commands); }
    EXPECT_EQ(state.applied_bypass_routes_ipv4, c.after4);
    EXPECT_EQ(state.applied_bypass_routes_ipv6, c.after6);
    EXPECT_EQ(table.routes(), c.kernel_after);
    EXPECT_EQ(std::pair(state.diagnostics.route_drift_routes_ipv4, state.diagnostics.route_drift_routes_ipv6),
              std::pair(c.drift4, c.drift6));
  }
}

// Each route is recorded before its add runs and one that cannot be is not added; verifying and
// clearing go through the gateway of the route's family, and clearing leaves reserved routes.
TEST(SteeringRoutes, RecordedBeforeAddedThenVerifiedAndClearedThroughTheirFamilysGateway) {
  testing::FakeEnv env;
  testing::FakeRouteTable table{env};
  HelperPacketSteeringEngineState state{.gateway = kGw, .ipv6_gateway = kGw6};
  auto apply = [&] { return apply_packet_steering_routes(env, state, {}, true); };
  table.set("1.1.1.1", kGw);
  state.applied_bypass_routes_ipv4 = {"1.1.1.1"};
  state.enforcement_ready_routes_ipv4 = {"1.1.1.1", "3.3.3.3"};
  state.enforcement_ready_routes_ipv6 = {"2001:db8::/48"};
  std::vector<std::pair<Lines, Lines>> recorded_at_each_add;
  auto table_handler = env.handler;
  env.handler = [&](const std::string& line) {
    if (line.rfind("route -n add", 0) == 0) {
      auto record = read_packet_steering_state(env);  // as restore after a crash would read it
      recorded_at_each_add.emplace_back(record->applied_bypass_routes_ipv4, record->applied_bypass_routes_ipv6);
    }
    return table_handler(line);
  };
  EXPECT_EQ(apply(), std::nullopt);
  EXPECT_THAT(recorded_at_each_add, ElementsAre(std::pair(Lines{"1.1.1.1"}, Lines{"2001:db8::/48"}),
                                                std::pair(Lines{"1.1.1.1", "3.3.3.3"}, Lines{"2001:db8::/48"})));

  env.failing_writes.insert(kPacketSteeringStatePath);
  state.enforcement_ready_routes_ipv4.push_back("4.4.4.4");
  env.clear_commands();
  EXPECT_EQ(apply(), "Failed recording packet steering route 4.4.4.4: Read-only file system");
  EXPECT_THAT(env.commands_of("route -n add"), IsEmpty());
  EXPECT_EQ(state.applied_bypass_routes_ipv4, (Lines{"1.1.1.1", "3.3.3.3"}));

  // A failed lookup is no match either: the unwanted route of ApplyPacketSteeringRoutes that fails its check.
  const struct { std::string route; bool host; std::string get; CommandResult answer; bool same; } cases[] = {
      {"5.5.0.0/16", false, "route -n get 5.5.0.0", CommandResult("route to: 5.5.0.0\n    gateway: 192.0.2.1\n"), true},
      {"2001:db8::/32", false, "route -n get -inet6 2001:db8::", CommandResult("    gateway: fe80::1%en0\n"), true},
      {"6.6.6.6", true, "route -n get 6.6.6.6", CommandResult("   route to: 6.6.6.6\n  interface: utun200\n"), false},
  };
  for (const auto& c : cases) {
    table.intercept(c.get, {c.answer});
    EXPECT_EQ(verify_packet_steering_route_gateway(env, c.route, state, c.host), c.same) << c.route;
  }

  // 1.1.1.1 and 3.3.3.3 are in place from above; the /48 is no longer recorded, so it stays.
  env.clear_commands();
  state.applied_bypass_routes_ipv4 = {"1.1.1.1", "10.0.0.0/8", "2.2.2.2", "3.3.3.3"};
  state.applied_bypass_routes_ipv6 = {"2001:db8::1"};
  table.set("2001:db8::1", kGw6);
  table.intercept("route -n delete -host 3.3.3.3 192.0.2.1", {CommandResult(fail("Operation not permitted"))});
  auto cleared = clear_packet_steering_applied_routes_for_state(env, state, {"10.0.0.0/8"});
  EXPECT_EQ(cleared.error(), "3.3.3.3 (Operation not permitted)");  // 2.2.2.2 was already gone
  EXPECT_THAT(env.commands(),
              ElementsAre("route -n delete -host 1.1.1.1 192.0.2.1", "route -n delete -host 2.2.2.2 192.0.2.1",
                          "route -n delete -host 3.3.3.3 192.0.2.1",
                          "route -n delete -inet6 -host 2001:db8::1 fe80::1%en0"));
  EXPECT_EQ(table.routes(), (Kernel{{"2001:db8::/48", kGw6}, {"3.3.3.3", kGw}}));

  // Without an IPv6 gateway an IPv6 route is neither looked up nor deleted.
  state.ipv6_gateway.reset();
  state.applied_bypass_routes_ipv4.clear();
  env.clear_commands();
  EXPECT_FALSE(verify_packet_steering_route_gateway(env, "2001:db8::/32", state, false));
  EXPECT_EQ(clear_packet_steering_applied_routes_for_state(env, state, {}).error(),
            "2001:db8::1 (No physical IPv6 gateway is available for route 2001:db8::1)");
  EXPECT_THAT(env.commands(), IsEmpty());
}

// The engine test proves an IPv4 server's route and the half-defaults are left alone.
TEST(TunnelOwnedRoutes, NameAnIpv6ServerAsWrittenAndCanonically) {
  EXPECT_EQ(tunnel_owned_route_set({7, "utun200", "2001:DB8:0::7", "192.0.2.1", 1}),
            (std::set<std::string>{"0.0.0.0/1", "128.0.0.0/1", "2001:DB8:0::7", "2001:db8::7"}));
}

}  // namespace
}  // namespace kivo
