#include "split/custom_split_reconcile.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "testing/custom_split_machine.h"
#include "testing/fake_env.h"

namespace kivo {
namespace {

using ::testing::ElementsAre;
using namespace split_testing;
using LastSeen = std::map<std::string, std::uint64_t>;

// Both processes of the record below (the shared kLsof lists process 41 alone).
const std::string kLsof = "lsof -n -P -a -i4 -p 41,42";

// An engine with a fresh snapshot of two processes (one listed twice), one static route and
// whatever dynamic routes a case gives it.
struct Engine : Machine {
  void stage(std::vector<std::string> dynamic = {}, LastSeen last_seen = {}) {
    state.dynamic_routes = std::move(dynamic);
    state.dynamic_route_last_seen_at = std::move(last_seen);
    files[kCustomSplitStatePath] = encode_custom_split_engine_state(state);
  }
  Status pass() { return reconcile_custom_split_engine_routes(*this); }
  HelperCustomSplitEngineState state{.routes = {"8.8.8.0/24"}, .gateway = "192.0.2.1", .pid_generation = 3,
                                     .tracked_apps = {{"Chat", "/c", {42, 41}}, {"Helper", "/h", {42}}},
                                     .updated_at = kNow - 15};
};

TEST(CustomSplitReconcile, ObservesUpTo256PublicSlash24sOfIpv4PeersOutsideStaticRoutes) {
  const std::vector<std::string> static_routes = {"8.8.8.0/24", "9.9.9.9"};
  const struct { std::string output; std::set<std::string> observed; } cases[] = {
      // Which addresses are public is pinned with the address tests.
      {connection("10.1.1.1") + connection("224.0.0.251") + connection("240.0.0.1"), {"240.0.0.0/24"}},
      {connection("8.8.8.8") + connection("9.9.9.9") + connection("9.9.9.10"), {"9.9.9.0/24"}},
      {"Chat 41 user 5u IPv6 0x1 0t0 TCP [::1]:1->[2001:db8::5]:443\r\n" + connection("1.2.3.4") + "\r\n",
       {"1.2.3.0/24"}},
  };
  for (const auto& c : cases) EXPECT_EQ(observed_peer_networks(c.output, static_routes), c.observed) << c.output;

  // Reading stops at the line that brings the set to 256.
  std::string output;
  for (int i = 0; i < 300; ++i) {
    std::string network = "11." + std::to_string(i / 256) + "." + std::to_string(i % 256);
    output += connection(network + ".5") + connection(network + ".6");  // a second peer adds nothing
  }
  auto observed = observed_peer_networks(output, {});
  EXPECT_EQ(observed.size(), 256u);
  EXPECT_TRUE(observed.count("11.0.255.0/24"));
  EXPECT_FALSE(observed.count("11.1.0.0/24"));
}

TEST(CustomSplitReconcile, DeletesBeforeAddingInAscendingOrderAgesRoutesOutAndRetriesFailures) {
  Engine e;
  // A list stored out of order is read as a set; 6.6.6.0/24 was remembered but never installed.
  e.stage({"7.7.7.0/24", "5.5.5.0/24"},
          {{"5.5.5.0/24", kNow - 46}, {"6.6.6.0/24", kNow - 45}, {"7.7.7.0/24", kNow + 100}, {"4.4.4.0/24", kNow - 50}});
  e.script_ok(kLsof, connection("9.9.9.1") + connection("2.2.2.2") + connection("2.2.2.9") + connection("8.8.8.8"));
  ASSERT_TRUE(e.pass().ok());
  EXPECT_THAT(e.commands(), ElementsAre(kLsof, del("5.5.5.0/24"), add("2.2.2.0/24"), add("6.6.6.0/24"),
                                        add("9.9.9.0/24")));
  EXPECT_EQ(e.limits_ms.at(kLsof), 1500u);
  auto record = e.record();
  EXPECT_EQ(record.dynamic_routes, (Lines{"2.2.2.0/24", "6.6.6.0/24", "7.7.7.0/24", "9.9.9.0/24"}));
  EXPECT_EQ(record.dynamic_route_last_seen_at,
            (LastSeen{{"2.2.2.0/24", kNow}, {"6.6.6.0/24", kNow - 45}, {"7.7.7.0/24", kNow + 100}, {"9.9.9.0/24", kNow}}));

  // A pass answers with the last failure, and what failed is retried.
  e.stage({"1.1.1.0/24", "2.2.2.0/24", "3.3.3.0/24"});
  e.script_ok(kLsof, connection("4.4.4.4") + connection("5.5.5.5"));
  e.script_fail(del("1.1.1.0/24"), "route: writing to routing socket: not in table");
  e.script_fail(del("2.2.2.0/24"), "route: writing to routing socket: Operation not permitted");
  e.script_fail(add("4.4.4.0/24"), "route: writing to routing socket: Network is unreachable");
  std::string last = "Failed adding custom split route 4.4.4.0/24: route: writing to routing socket: Network is unreachable";
  EXPECT_EQ(e.pass().error(), last);
  EXPECT_EQ(e.record().dynamic_routes, (Lines{"2.2.2.0/24", "5.5.5.0/24"}));

  e.script_ok(del("2.2.2.0/24"));
  e.script_ok(add("4.4.4.0/24"));
  e.clear_commands();
  ASSERT_TRUE(e.pass().ok());
  EXPECT_THAT(e.commands(), ElementsAre(kLsof, del("2.2.2.0/24"), add("4.4.4.0/24")));
  EXPECT_EQ(e.record().dynamic_routes, (Lines{"4.4.4.0/24", "5.5.5.0/24"}));

  // Only a change is written: the same pass again writes nothing; a second later the last-seen stamps move.
  e.failing_writes.insert(kCustomSplitStatePath);
  EXPECT_TRUE(e.pass().ok());
  e.epoch_seconds = kNow + 1;
  EXPECT_EQ(e.pass().error(), "Read-only file system");
}

// Passes that route nothing new, from 1.1.1.0/24 seen 45 s ago and 2.2.2.0/24 seen 46 s ago: without a
// fresh snapshot every dynamic route goes (a stale one is the engine tests' 15 s / 16 s verify); without
// connections routes live out their lifetime; an lsof time-out changes nothing.
TEST(CustomSplitReconcile, PassesThatObserveNoPeer) {
  const Lines kept{"1.1.1.0/24"};
  const struct {
    const char* name;
    std::function<void(Engine&)> given;
    Lines commands, left;
    std::string error;
  } cases[] = {
      {"generation 0", [](Engine& e) { e.state.pid_generation = 0; },
       {del("1.1.1.0/24"), del("2.2.2.0/24")}, {}},
      {"no process: lsof is not asked", [](Engine& e) { e.state.tracked_apps = {{"Chat", "/c", {}}}; },
       {del("2.2.2.0/24")}, kept},
      {"lsof exits 1 when no process has a connection", [](Engine& e) { e.script(kLsof, {fail("")}); },
       {kLsof, del("2.2.2.0/24")}, kept},
      {"lsof times out", [](Engine& e) { e.script_fail(kLsof, "lsof timed out after 1500 ms\n"); }, {kLsof},
       {"1.1.1.0/24", "2.2.2.0/24"}, "Failed to inspect active app connections via lsof: lsof timed out after 1500 ms\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Engine e;
    c.given(e);
    e.stage({"1.1.1.0/24", "2.2.2.0/24"}, {{"1.1.1.0/24", kNow - 45}, {"2.2.2.0/24", kNow - 46}});
    std::string before = e.files.at(kCustomSplitStatePath);
    Status status = e.pass();
    EXPECT_EQ(status.ok(), c.error.empty());
    EXPECT_EQ(status.error(), c.error);
    EXPECT_EQ(e.commands(), c.commands);
    EXPECT_EQ(e.record().dynamic_routes, c.left);
    EXPECT_EQ(e.record().dynamic_route_last_seen_at.size(), c.left.size());
    EXPECT_EQ(e.files.at(kCustomSplitStatePath) == before, !c.error.empty());  // a failed pass writes nothing
  }
}

TEST(CustomSplitReconcile, TheSyncStampAloneIsWrittenOnceAMinuteAndAnUnstagedPassDoesNothing) {
  Engine quiet;
  quiet.stage();
  quiet.script_ok(kLsof, "");
  ASSERT_TRUE(quiet.pass().ok());
  quiet.failing_writes.insert(kCustomSplitStatePath);
  quiet.epoch_seconds = kNow + 59;
  EXPECT_TRUE(quiet.pass().ok());
  quiet.epoch_seconds = kNow + 60;
  EXPECT_EQ(quiet.pass().error(), "Read-only file system");

  testing::FakeEnv unstaged;
  unstaged.files[kCustomSplitStatePath] = "{";
  EXPECT_TRUE(reconcile_custom_split_engine_routes(unstaged).ok());
  EXPECT_TRUE(unstaged.commands().empty());
}

}  // namespace
}  // namespace kivo
