#include "split/custom_split_engine.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "base/text.h"
#include "testing/custom_split_machine.h"

namespace kivo {
namespace {

using ::testing::ElementsAre;
using namespace split_testing;

const std::string kStagedNote =
    "Custom split engine staged. Waiting for live PID snapshots before dynamic app bypass routes can be applied.";
const std::string kDegraded = "Custom split engine runtime snapshot updated, but route reconciliation is degraded: ";

TEST(CustomSplitEngine, StagingRecordsTheCleanedRequestAndRestagingOrRestoreClaimOnlyRoutesStillInstalled) {
  Machine m;
  EXPECT_EQ(*m.engine.restore_custom_split_engine(), (CustomSplitRestoreCounts{0, 0, 0}));
  const struct { std::vector<std::string> apps, routes; std::string error; } refused[] = {
      {{"/Applications/Chat.app", "  "}, {}, "Custom split engine app path cannot be empty"},
      {{"/Applications/Chat.app"}, {"8.8.8.0/24", "fd00::/8"}, "Invalid IPv4 CIDR address 'fd00::/8'"},
  };
  for (const auto& c : refused) EXPECT_EQ(m.stage(c.apps, c.routes).error(), c.error);
  EXPECT_TRUE(m.files.empty());
  auto staged = m.stage({" /Applications/Chat.app\t", "/Applications/Mail.app", "/Applications/Chat.app"},
                        {"10.1.2.3/8", "10.0.0.0/8", " 8.8.8.8 "});
  EXPECT_EQ(show(staged), "staged idle 2/2/0 " + kStagedNote);
  EXPECT_EQ(m.record(), (HelperCustomSplitEngineState{{"/Applications/Chat.app", "/Applications/Mail.app"},
                                                      {"10.0.0.0/8", "8.8.8.8"}, "192.0.2.1", true, 0, {}, kNow}));
  EXPECT_TRUE(m.commands().empty());

  // Restaging clears the routes of the earlier staging; a failed restaging claims only those still installed.
  m.script_ok(kLsof, connection("93.184.216.34") + connection("198.51.100.7") + connection("203.0.113.9"));
  ASSERT_EQ(m.update(1)->dynamic_routes, 3u);
  m.clear_commands();
  // A gateway is checked before anything is taken away.
  EXPECT_EQ(m.stage({"/Applications/Chat.app"}, {}, "192.0.2").error(), "Invalid IP provided: 192.0.2");
  EXPECT_TRUE(m.commands().empty());

  m.script_fail(del("198.51.100.0/24"), "route: writing to routing socket: Operation not permitted");
  EXPECT_EQ(m.stage({" /Applications/Gone.app "}).error(),
            "Custom split engine app path does not exist: /Applications/Gone.app");
  EXPECT_THAT(m.commands(), ElementsAre(del("198.51.100.0/24"), del("203.0.113.0/24"), del("93.184.216.0/24")));
  auto kept = m.record();
  EXPECT_EQ(kept.dynamic_routes, Lines{"198.51.100.0/24"});
  EXPECT_TRUE(kept.dynamic_route_last_seen_at.empty());
  EXPECT_EQ(kept.pid_generation, 1u);

  // A good restaging clears the earlier routes and starts afresh.
  m.script_ok(del("198.51.100.0/24"));
  m.clear_commands();
  EXPECT_EQ(show(m.stage({"/Applications/Mail.app"}, {}, "fe80::1")), "staged idle 1/0/0 " + kStagedNote);
  EXPECT_THAT(m.commands(), ElementsAre(del("198.51.100.0/24")));
  EXPECT_EQ(m.record().pid_generation, 0u);

  // A failed restore keeps the record for a retry, claiming only what is still installed.
  ASSERT_EQ(m.update(1)->dynamic_routes, 3u);
  m.script_fail("route -n delete -net 198.51.100.0/24 fe80::1", "Operation not permitted");
  m.script_fail("route -n delete -net 93.184.216.0/24 fe80::1", "busy");
  EXPECT_EQ(m.engine.restore_custom_split_engine().error(),
            "198.51.100.0/24 (Operation not permitted) | 93.184.216.0/24 (busy)");
  EXPECT_EQ(m.record().dynamic_routes, (Lines{"198.51.100.0/24", "93.184.216.0/24"}));
  EXPECT_TRUE(m.record().dynamic_route_last_seen_at.empty());

  m.script_ok("route -n delete -net 198.51.100.0/24 fe80::1");
  m.script_fail("route -n delete -net 93.184.216.0/24 fe80::1", "route: writing to routing socket: not in table");
  EXPECT_EQ(*m.engine.restore_custom_split_engine(), (CustomSplitRestoreCounts{1, 0, 1}));
  EXPECT_FALSE(m.files.count(kCustomSplitStatePath));
}

// Snapshots, and the verify between them: each answers with the engine as it is.
TEST(CustomSplitEngine, SnapshotsAreTakenInGenerationOrderAndAnswerWithTheirPass) {
  Machine m;
  EXPECT_EQ(m.update(1).error(), "No such file or directory");
  EXPECT_EQ(show(m.engine.verify_custom_split_engine()), "unstaged idle 0/0/0 null");
  ASSERT_TRUE(m.stage({"/Applications/Chat.app"}, {"8.8.8.0/24"}).ok());
  EXPECT_EQ(show(m.engine.verify_custom_split_engine()),
            "staged idle 1/1/0 Custom split engine is staged and waiting for the first runtime PID snapshot.");
  // Generation 0 is taken too, but keeps the engine waiting.
  EXPECT_EQ(show(m.update(0)), "staged idle 1/1/0 Custom split engine runtime snapshot updated (generation 0, "
                               "tracked apps 1, active pids 1, dynamic routes 0).");

  std::vector<HelperCustomSplitTrackedApp> two = {{"Chat", "/c", {41, 43}}, {"Chat Helper", "/h", {44}}};
  m.script_ok("lsof -n -P -a -i4 -p 41,43,44", connection("93.184.216.34"));
  EXPECT_EQ(show(m.update(5, two)), "staged active 1/1/1 Custom split engine runtime snapshot updated (generation 5, "
                                    "tracked apps 2, active pids 3, dynamic routes 1).");
  std::string at_five = m.files.at(kCustomSplitStatePath);
  EXPECT_EQ(show(m.update(4)),
            "staged active 1/1/1 Ignoring stale custom split engine PID snapshot generation 4 (current 5).");
  EXPECT_EQ(m.files.at(kCustomSplitStatePath), at_five);
  m.epoch_seconds += 3;
  EXPECT_EQ(m.update(5)->note, "Custom split engine runtime snapshot updated (generation 5, tracked apps 1, active "
                               "pids 1, dynamic routes 1).");
  m.epoch_seconds += 15;
  EXPECT_EQ(show(m.engine.verify_custom_split_engine()),
            "staged active 1/1/1 Custom split engine is live. PID generation=5 tracked apps=1 active pids=1 dynamic "
            "routes=1 heartbeat_age=15s.");

  m.script_ok(kLsof, connection("198.51.100.7"));
  m.script_fail(add("198.51.100.0/24"), "route: writing to routing socket: Network is unreachable");
  EXPECT_EQ(show(m.update(7)), "staged idle 1/1/1 " + kDegraded +
                                   "Failed adding custom split route 198.51.100.0/24: route: writing to routing "
                                   "socket: Network is unreachable");
  m.failing_writes.insert(kCustomSplitStatePath);
  EXPECT_EQ(m.update(8).error(), "Read-only file system");

  // The pass inside the verify finds the snapshot of generation 7 stale and withdraws its route; the
  // verify reads what that pass recorded, and a route that will not go outranks staleness.
  m.failing_writes.clear();
  m.epoch_seconds += 16;
  m.script_fail(del("93.184.216.0/24"), "busy");
  EXPECT_EQ(show(m.engine.verify_custom_split_engine()),
            "staged idle 1/1/1 Custom split engine is staged, but dynamic route reconciliation is degraded: Failed "
            "removing custom split route 93.184.216.0/24: busy");
  m.script_ok(del("93.184.216.0/24"));
  EXPECT_EQ(show(m.engine.verify_custom_split_engine()),
            "staged idle 1/1/0 Custom split engine is staged, but runtime PID snapshots are stale (last update 16s "
            "ago, threshold 15s).");
}

// Each request waits for a pass that is running: one that read the record before the request
// must not write it back after. The pass sets the request off while it waits for lsof.
TEST(CustomSplitEngine, RequestsWaitForARunningPass) {
  const struct {
    const char* request;
    std::function<void(Machine&)> send;
    std::string left;  // the record's apps and generation after both
  } cases[] = {
      {"restore", [](Machine& m) { (void)m.engine.restore_custom_split_engine(); }, "none"},
      {"stage", [](Machine& m) { (void)m.stage({"/Applications/Mail.app"}); }, "/Applications/Mail.app 0"},
      {"update", [](Machine& m) { (void)m.update(2); }, "/Applications/Chat.app 2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);
    Machine m;
    ASSERT_TRUE(m.stage({"/Applications/Chat.app"}).ok());
    ASSERT_TRUE(m.update(1).ok());
    std::atomic<bool> sent{false};
    std::thread request;
    m.handler = [&](const std::string& line) -> std::optional<CommandResult> {
      if (!starts_with(line, "lsof ") || sent.exchange(true)) return std::nullopt;
      request = std::thread([&] { c.send(m); });
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      return CommandResult(connection("198.51.100.7"));  // a new network: the pass has a record to write
    };
    (void)m.engine.reconcile_custom_split_engine_routes();
    if (request.joinable()) request.join();
    auto left = read_custom_split_engine_state(m);
    EXPECT_EQ(left ? join(left->app_paths, " ") + " " + std::to_string(left->pid_generation) : "none", c.left);
  }
}

}  // namespace
}  // namespace kivo
