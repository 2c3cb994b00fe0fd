#include "split/split_bypass.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "commands/command_runner.h"
#include "split/custom_split_state.h"
#include "testing/fake_env.h"
#include "testing/macos_samples.h"
#include "tunnel/runtime_state.h"

namespace kivo {
namespace {

using ::testing::ElementsAre;

TEST(NormalizeSplitRoute, CanonicalisesOrQuotesTheTrimmedEntry) {
  const std::pair<const char*, const char*> cases[] = {
      {"10.1.2.3/+32", "net 10.1.2.3/32"},
      {" \t ", "Split route entry cannot be empty"},
      {" fd00::1 ", "Invalid IPv4 host route 'fd00::1'"},
      {"10.0.0.0/8/1", "Invalid CIDR route '10.0.0.0/8/1'"},
      {"fd00::/64", "Invalid IPv4 CIDR address 'fd00::/64'"},
      {"10.0.0.0/", "Invalid CIDR prefix '10.0.0.0/'"},
      {"10.0.0.0/256", "Invalid CIDR prefix '10.0.0.0/256'"},  // past the byte: not read as /0
      {"10.0.0.0/33", "CIDR prefix out of range in '10.0.0.0/33'"},
      {"10.0.0.0/0", "CIDR /0 is not allowed for split bypass"},
  };
  for (const auto& [entry, expected] : cases) {
    auto r = normalize_split_route(entry);
    EXPECT_EQ(r.ok() ? (r->is_host ? "host " : "net ") + r->route : r.error(), expected) << entry;
  }
}

struct SplitBypassTest : ::testing::Test {
  void record(std::vector<std::string> routes, std::string gateway = "192.168.1.1") {
    env.files[kSplitStatePath] = encode_split_state({std::move(routes), std::move(gateway), 1});
  }
  testing::FakeEnv env;
  SplitBypass split{env};
};

TEST_F(SplitBypassTest, ApplyRecordsEveryRouteBeforeInstallingEachOnce) {
  std::vector<std::string> recorded_at_each_add;
  env.handler = [&](const std::string& line) -> std::optional<CommandResult> {
    if (line.rfind("route -n add", 0) == 0) recorded_at_each_add.push_back(env.files[kSplitStatePath]);
    return std::nullopt;
  };
  auto count = split.apply_split_bypass({"192.168.1.10", " 192.168.1.10 ", "10.1.2.3/8"}, "192.168.1.1");
  ASSERT_TRUE(count.ok()) << count.error();
  EXPECT_EQ(*count, 2u);
  EXPECT_THAT(env.commands(), ElementsAre("route -n add -host 192.168.1.10 192.168.1.1",
                                          "route -n add -net 10.0.0.0/8 192.168.1.1"));
  const std::string whole = R"({"routes":["192.168.1.10","10.0.0.0/8"],"gateway":"192.168.1.1","updated_at":1700000000})";
  EXPECT_THAT(recorded_at_each_add, ElementsAre(whole, whole));
  EXPECT_EQ(env.files.at(kSplitStatePath), whole);
}

TEST_F(SplitBypassTest, AFailedApplyLeavesNothingBehindAndAnEmptyListOnlyRemovesEarlierRoutes) {
  record({"10.0.0.0/8"}, "192.168.1.254");
  // Neither the tunnel's own routes nor the machine's own destinations can be taken over.
  env.files[kTunnelStatePath] = encode_runtime_state({4242, "utun203", "203.0.113.5", "192.168.1.1", 1});
  const struct { const char *route, *gateway, *message; } refused[] = {
      {"1.1.1.1", "gateway", "Invalid IP provided: gateway"},
      {"1.1.1.0/0", "192.168.1.1", "CIDR /0 is not allowed for split bypass"},
      {"0.0.0.0/1", "192.168.1.1", "Refusing split bypass route '0.0.0.0/1': it is one of the tunnel's own routes"},
      {"128.0.0.1/1", "192.168.1.1", "Refusing split bypass route '128.0.0.0/1': it is one of the tunnel's own routes"},
      {"203.0.113.5", "192.168.1.1", "Refusing split bypass route '203.0.113.5': it is one of the tunnel's own routes"},
      {"127.0.0.1", "192.168.1.1", "Refusing split bypass route '127.0.0.1': loopback, multicast or reserved destination"},
      {"224.0.0.0/4", "192.168.1.1",
       "Refusing split bypass route '224.0.0.0/4': loopback, multicast or reserved destination"},
      {"1.1.1.1", "127.0.0.1", "Refusing a loopback, multicast or reserved address: 127.0.0.1"},
  };
  for (const auto& c : refused) EXPECT_EQ(split.apply_split_bypass({"1.1.1.1", c.route}, c.gateway).error(), c.message);
  env.files.erase(kTunnelStatePath);
  EXPECT_TRUE(env.commands().empty());
  EXPECT_EQ(*split.apply_split_bypass({}, "192.168.1.1"), 0u);
  EXPECT_THAT(env.commands(), ElementsAre("route -n delete -net 10.0.0.0/8 192.168.1.254"));
  EXPECT_TRUE(env.files.empty());

  // A failed add rolls back in reverse what the list added.
  env.clear_commands();
  env.script_fail("route -n add -host 3.3.3.3 192.168.1.1", "Network is unreachable");
  EXPECT_EQ(split.apply_split_bypass({"1.1.1.1", "2.2.2.0/24", "3.3.3.3"}, "192.168.1.1").error(),
            "Failed to add split bypass route '3.3.3.3': Network is unreachable");
  EXPECT_THAT(env.commands_of("route -n delete"), ElementsAre("route -n delete -net 2.2.2.0/24 192.168.1.1",
                                                              "route -n delete -host 1.1.1.1 192.168.1.1"));
  EXPECT_TRUE(env.files.empty());

  // A list that cannot be recorded is never installed: a crash would leave routes nobody knows.
  env.clear_commands();
  env.failing_writes.insert(kSplitStatePath);
  EXPECT_EQ(split.apply_split_bypass({"1.1.1.1", "2.2.2.2"}, "192.168.1.1").error(),
            "Failed to persist split bypass state: Read-only file system");
  EXPECT_TRUE(env.commands_of("route -n add").empty());
  EXPECT_TRUE(env.files.empty());
}

TEST_F(SplitBypassTest, ExistingRouteIsAdoptedOrReplacedByItsGateway) {
  // As a real Mac refuses it: both lines, exit status 0.
  env.script("route -n add -host 1.1.1.1 192.168.1.1",
             {command_output_to_result(testing::macos_sample("route add exists stdout"),
                                       testing::macos_sample("route add exists stderr"), ProcessExit{true, 0})});
  env.script_ok("route -n get 1.1.1.1", "   route to: 1.1.1.1\n    gateway: 192.168.1.1\r\n  interface: en0\n");
  env.script("route -n add -net 9.9.0.0/16 192.168.1.1", {fail("File exists"), std::string()});
  env.script_ok("route -n get 9.9.0.0", "gateway: 10.8.0.1\n");
  ASSERT_TRUE(split.apply_split_bypass({"1.1.1.1", "9.9.9.9/16"}, "192.168.1.1").ok());
  EXPECT_THAT(env.commands(),
              ElementsAre("route -n add -host 1.1.1.1 192.168.1.1", "route -n get 1.1.1.1",
                          "route -n add -net 9.9.0.0/16 192.168.1.1", "route -n get 9.9.0.0",
                          "route -n delete -net 9.9.0.0/16 192.168.1.1", "route -n add -net 9.9.0.0/16 192.168.1.1"));

  env.script("route -n add -net 9.9.0.0/16 192.168.1.1", {fail("File exists"), fail("busy")});
  EXPECT_EQ(split.apply_split_bypass({"9.9.0.0/16"}, "192.168.1.1").error(),
            "Failed to add split bypass route '9.9.0.0/16': Route existed with mismatched gateway and could not be "
            "replaced: busy");
}

// Restore and verify both read the record, and do nothing without one.
TEST_F(SplitBypassTest, RestoreLeavesSteeringAndTunnelRoutesAndJoinsFailuresAndVerifyComparesGatewaysByteForByte) {
  // An older helper accepted the tunnel's routes; a restore must not delete them. Nor a /24 the
  // custom split engine lists, which it counts as installed and would never add again.
  record({"1.1.1.1", "0.0.0.0/1", "2.2.2.0/24", "203.0.113.5", "3.3.3.3", "4.4.4.0/24"});
  env.files[kTunnelStatePath] = encode_runtime_state({4242, "utun203", "203.0.113.5", "192.168.1.1", 1});
  env.files[kCustomSplitStatePath] = encode_custom_split_engine_state({.dynamic_routes = {"4.4.4.0/24"}});
  split.shield_routes([] { return std::set<std::string>{"2.2.2.0/24"}; });
  env.script_fail("route -n delete -host 3.3.3.3 192.168.1.1", "delete host 3.3.3.3: not in table");
  EXPECT_EQ(*split.restore_split_bypass(), 6u);
  EXPECT_THAT(env.commands(), ElementsAre("route -n delete -host 1.1.1.1 192.168.1.1",
                                          "route -n delete -host 3.3.3.3 192.168.1.1"));
  EXPECT_FALSE(env.files.count(kSplitStatePath));
  EXPECT_EQ(split.verify_split_bypass(), std::make_pair(false, std::uint64_t{0}));

  record({"1.1.1.1", "2.2.2.0/24", "3.3.3.3"});
  env.script_fail("route -n delete -host 1.1.1.1 192.168.1.1", "Permission denied");
  env.script_fail("route -n delete -host 3.3.3.3 192.168.1.1", "busy");
  EXPECT_EQ(split.restore_split_bypass().error(), "1.1.1.1 (Permission denied) | 3.3.3.3 (busy)");
  EXPECT_FALSE(env.files.count(kSplitStatePath));

  env.clear_commands();
  env.files[kSplitStatePath] = R"({"routes":["1.1.1.1"]})";  // unreadable: touches nothing, stays
  EXPECT_EQ(*split.restore_split_bypass(), 0u);
  EXPECT_TRUE(env.commands().empty());
  EXPECT_TRUE(env.files.count(kSplitStatePath));

  // The verify stops at the first gateway that differs, byte for byte.
  record({});
  EXPECT_EQ(split.verify_split_bypass(), std::make_pair(false, std::uint64_t{0}));

  record({"1.1.1.1", "2.2.2.0/24"}, "fe80::1");
  env.script_ok("route -n get 1.1.1.1", "gateway: fe80::1\n");
  env.script_ok("route -n get 2.2.2.0", "gateway: fe80::1\n");
  EXPECT_EQ(split.verify_split_bypass(), std::make_pair(true, std::uint64_t{2}));

  env.clear_commands();
  env.script_ok("route -n get 1.1.1.1", "gateway: FE80::1\n");
  EXPECT_EQ(split.verify_split_bypass(), std::make_pair(false, std::uint64_t{2}));
  EXPECT_THAT(env.commands(), ElementsAre("route -n get 1.1.1.1"));
}

}  // namespace
}  // namespace kivo
