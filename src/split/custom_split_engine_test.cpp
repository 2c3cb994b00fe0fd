#include "split/custom_split_engine.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "base/text.h"
#include "split/custom_split_reconcile.h"
#include "testing/fake_env.h"

namespace kivo::protocol::response {
bool operator==(const CustomSplitEngineStatus& a, const CustomSplitEngineStatus& b) {
  return std::tie(a.staged, a.active, a.app_count, a.route_count, a.dynamic_routes, a.note) ==
         std::tie(b.staged, b.active, b.app_count, b.route_count, b.dynamic_routes, b.note);
}
void PrintTo(const CustomSplitEngineStatus& s, std::ostream* os) {
  *os << s.staged << s.active << " " << s.app_count << "/" << s.route_count << "/" << s.dynamic_routes << " "
      << s.note.value_or("null");
}
}  // namespace kivo::protocol::response

namespace kivo::protocol {
void PrintTo(const HelperCustomSplitTrackedApp& app, std::ostream* os) {
  *os << app.name << " " << app.exe_path << " [";
  for (auto pid : app.active_pids) *os << " " << pid;
  *os << " ]";
}
}  // namespace kivo::protocol

namespace kivo {
namespace {

using ::testing::ElementsAre;
using Lines = std::vector<std::string>;

constexpr std::uint64_t kNow = 1700000000;
const std::string kStagedNote =
    "Custom split engine staged. Waiting for live PID snapshots before dynamic app bypass routes can be applied.";
const std::string kLsof = "lsof -n -P -a -i4 -p 41";
const std::vector<HelperCustomSplitTrackedApp> kChat = {{"Chat", "/Applications/Chat.app/Contents/MacOS/Chat", {41}}};

std::string connection(const std::string& peer) {
  return "Chat 41 user 5u IPv4 0x1 0t0 TCP 192.0.2.2:50000->" + peer + ":443 (ESTABLISHED)\n";
}
std::string add(const std::string& route) { return "route -n add -net " + route + " 192.0.2.1"; }
std::string del(const std::string& route) { return "route -n delete -net " + route + " 192.0.2.1"; }
CustomSplitEngineStatus status(bool active, std::uint64_t apps, std::uint64_t routes, std::uint64_t dynamic,
                               std::string note) {
  return {true, active, apps, routes, dynamic, std::move(note)};
}
// A machine on which Chat is installed and its process 41 talks to one public network.
struct Machine : testing::FakeEnv {
  Machine() {
    epoch_seconds = kNow;
    existing_paths = {"/Applications/Chat.app", "/Applications/Mail.app"};
    script_ok(kLsof, connection("93.184.216.34"));
  }
  HelperCustomSplitEngineState record() { return *read_custom_split_engine_state(*this); }
  Result<CustomSplitEngineStatus> stage(std::vector<std::string> apps, std::vector<std::string> routes = {},
                                        std::string gateway = "192.0.2.1") {
    return engine.stage_custom_split_engine(apps, routes, gateway, true);
  }
  Result<CustomSplitEngineStatus> update(std::uint64_t generation, std::vector<HelperCustomSplitTrackedApp> apps = kChat) {
    return engine.update_custom_split_engine_pids(generation, apps);
  }
  CustomSplitEngine engine{*this};
};

TEST(CustomSplitEngine, StagingRecordsTheCleanedRequestAndInstallsNothing) {
  Machine m;
  auto staged = m.stage({" /Applications/Chat.app\t", "/Applications/Mail.app", "/Applications/Chat.app"},
                        {"10.1.2.3/8", "10.0.0.0/8", " 8.8.8.8 "});
  EXPECT_EQ(*staged, status(false, 2, 2, 0, kStagedNote));
  HelperCustomSplitEngineState expected{{"/Applications/Chat.app", "/Applications/Mail.app"},
                                        {"10.0.0.0/8", "8.8.8.8"},
                                        "192.0.2.1",
                                        true};
  expected.updated_at = kNow;
  EXPECT_EQ(m.record(), expected);
  EXPECT_TRUE(m.commands().empty());
}

TEST(CustomSplitEngine, StagingRefusesBadInputWithItsReason) {
  const struct { std::vector<std::string> apps, routes; std::string gateway, error; } cases[] = {
      {{"/Applications/Chat.app"}, {}, "192.0.2", "Invalid IP provided: 192.0.2"},
      {{"/Applications/Chat.app", "  "}, {}, "192.0.2.1", "Custom split engine app path cannot be empty"},
      {{" /Applications/Gone.app "}, {}, "192.0.2.1", "Custom split engine app path does not exist: /Applications/Gone.app"},
      {{"/Applications/Chat.app"}, {"8.8.8.0/24", "fd00::/8"}, "192.0.2.1", "Invalid IPv4 CIDR address 'fd00::/8'"},
  };
  for (const auto& c : cases) {
    Machine m;
    EXPECT_EQ(m.stage(c.apps, c.routes, c.gateway).error(), c.error);
    EXPECT_TRUE(m.files.empty()) << c.error;
  }
}

TEST(CustomSplitEngine, RestagingClearsEarlierRoutesAndAFailedOneClaimsOnlyThoseStillInstalled) {
  Machine m;
  ASSERT_TRUE(m.stage({"/Applications/Chat.app"}).ok());
  m.script_ok(kLsof, connection("93.184.216.34") + connection("198.51.100.7") + connection("203.0.113.9"));
  ASSERT_EQ(m.update(1)->dynamic_routes, 3u);
  m.script_fail(del("198.51.100.0/24"), "route: writing to routing socket: Operation not permitted");
  m.clear_commands();

  EXPECT_EQ(m.stage({"/Applications/Gone.app"}).error(),
            "Custom split engine app path does not exist: /Applications/Gone.app");
  EXPECT_THAT(m.commands(), ElementsAre(del("198.51.100.0/24"), del("203.0.113.0/24"), del("93.184.216.0/24")));
  auto kept = m.record();
  EXPECT_EQ(kept.dynamic_routes, Lines{"198.51.100.0/24"});
  EXPECT_TRUE(kept.dynamic_route_last_seen_at.empty());
  EXPECT_EQ(kept.pid_generation, 1u);

  // The networks still in use come back with the next pass; the one that would not go, goes now.
  m.script_ok(del("198.51.100.0/24"));
  m.script_ok(kLsof, connection("93.184.216.34"));
  m.clear_commands();
  ASSERT_TRUE(m.engine.reconcile_custom_split_engine_routes().ok());
  EXPECT_THAT(m.commands(), ElementsAre(kLsof, del("198.51.100.0/24"), add("93.184.216.0/24")));
  EXPECT_EQ(m.record().dynamic_routes, Lines{"93.184.216.0/24"});

  // A good restaging clears the earlier routes and starts afresh.
  m.clear_commands();
  EXPECT_EQ(*m.stage({"/Applications/Mail.app"}, {}, "fe80::1"), status(false, 1, 0, 0, kStagedNote));
  EXPECT_THAT(m.commands(), ElementsAre(del("93.184.216.0/24")));
  EXPECT_EQ(m.record().pid_generation, 0u);
  EXPECT_EQ(m.record().gateway, "fe80::1");
}

TEST(CustomSplitEngine, SnapshotsAreTakenInGenerationOrder) {
  Machine m;
  EXPECT_EQ(m.update(1).error(), "No such file or directory");
  ASSERT_TRUE(m.stage({"/Applications/Chat.app"}, {"8.8.8.0/24"}).ok());

  std::vector<HelperCustomSplitTrackedApp> two = {{"Chat", "/c", {41, 43}}, {"Chat Helper", "/h", {44}}};
  m.script_ok("lsof -n -P -a -i4 -p 41,43,44", connection("93.184.216.34"));
  EXPECT_EQ(*m.update(5, two),
            status(true, 1, 1, 1,
                   "Custom split engine runtime snapshot updated (generation 5, tracked apps 2, active pids 3, "
                   "dynamic routes 1)."));
  std::string at_five = m.files.at(kCustomSplitStatePath);
  EXPECT_EQ(*m.update(4),
            status(true, 1, 1, 1, "Ignoring stale custom split engine PID snapshot generation 4 (current 5)."));
  EXPECT_EQ(m.files.at(kCustomSplitStatePath), at_five);
  m.epoch_seconds += 3;
  EXPECT_EQ(m.update(5)->note,
            "Custom split engine runtime snapshot updated (generation 5, tracked apps 1, active pids 1, dynamic "
            "routes 1).");
  EXPECT_EQ(m.record().tracked_apps, kChat);
  EXPECT_EQ(m.record().updated_at, kNow + 3);

  // Generation 0 is taken too, but keeps the engine waiting.
  Machine waiting;
  ASSERT_TRUE(waiting.stage({"/Applications/Chat.app"}).ok());
  EXPECT_EQ(*waiting.update(0),
            status(false, 1, 0, 0,
                   "Custom split engine runtime snapshot updated (generation 0, tracked apps 1, active pids 1, "
                   "dynamic routes 0)."));
}

TEST(CustomSplitEngine, AFailedPassShowsInTheSnapshotAnswer) {
  Machine m;
  ASSERT_TRUE(m.stage({"/Applications/Chat.app"}).ok());
  m.script_fail(add("93.184.216.0/24"), "route: writing to routing socket: Network is unreachable");
  EXPECT_EQ(*m.update(1),
            status(false, 1, 0, 0,
                   "Custom split engine runtime snapshot updated, but route reconciliation is degraded: Failed adding "
                   "custom split route 93.184.216.0/24: route: writing to routing socket: Network is unreachable"));
  m.failing_writes.insert(kCustomSplitStatePath);
  EXPECT_EQ(m.update(2).error(), "Read-only file system");
}

TEST(CustomSplitEngine, VerifyReportsTheEngineAsItIs) {
  Machine m;
  EXPECT_EQ(m.engine.verify_custom_split_engine(), (CustomSplitEngineStatus{false, false, 0, 0, 0, std::nullopt}));
  ASSERT_TRUE(m.stage({"/Applications/Chat.app"}, {"8.8.8.0/24"}).ok());
  EXPECT_EQ(m.engine.verify_custom_split_engine(),
            status(false, 1, 1, 0, "Custom split engine is staged and waiting for the first runtime PID snapshot."));
  ASSERT_TRUE(m.update(7).ok());
  m.epoch_seconds += 15;
  EXPECT_EQ(m.engine.verify_custom_split_engine(),
            status(true, 1, 1, 1,
                   "Custom split engine is live. PID generation=7 tracked apps=1 active pids=1 dynamic routes=1 "
                   "heartbeat_age=15s."));
  m.epoch_seconds += 5;  // the pass inside the verify finds the snapshot stale and withdraws the route
  EXPECT_EQ(m.engine.verify_custom_split_engine(),
            status(false, 1, 1, 0,
                   "Custom split engine is staged, but runtime PID snapshots are stale (last update 20s ago, "
                   "threshold 15s)."));
  EXPECT_EQ(m.commands_of("route").back(), del("93.184.216.0/24"));

  // Degraded: a fresh snapshot whose pass times out keeps the last error; a stale one whose
  // route will not go records its own.
  auto record = m.record();
  record.updated_at = m.epoch_seconds;
  record.engine_last_error = "Failed adding custom split route 1.1.1.0/24: boom";
  ASSERT_TRUE(save_custom_split_engine_state(m, record).ok());
  m.script_fail(kLsof, "lsof timed out after 1500 ms");
  EXPECT_EQ(m.engine.verify_custom_split_engine(),
            status(false, 1, 1, 0,
                   "Custom split engine is staged, but dynamic route reconciliation is degraded: Failed adding custom "
                   "split route 1.1.1.0/24: boom"));
  record.updated_at = m.epoch_seconds - 30;
  record.dynamic_routes = {"1.1.1.0/24"};
  ASSERT_TRUE(save_custom_split_engine_state(m, record).ok());
  m.script_fail(del("1.1.1.0/24"), "busy");
  EXPECT_EQ(m.engine.verify_custom_split_engine(),
            status(false, 1, 1, 1,
                   "Custom split engine is staged, but dynamic route reconciliation is degraded: Failed removing "
                   "custom split route 1.1.1.0/24: busy"));
}

TEST(CustomSplitEngine, RestoreTakesTheRoutesAndTheRecordAway) {
  Machine m;
  EXPECT_EQ(*m.engine.restore_custom_split_engine(), (CustomSplitRestoreCounts{0, 0, 0}));
  ASSERT_TRUE(m.stage({"/Applications/Chat.app", "/Applications/Mail.app"}, {"8.8.8.0/24"}).ok());
  m.script_ok(kLsof, connection("93.184.216.34") + connection("198.51.100.7"));
  ASSERT_TRUE(m.update(1).ok());

  m.script_fail(del("198.51.100.0/24"), "route: writing to routing socket: Operation not permitted");
  EXPECT_EQ(m.engine.restore_custom_split_engine().error(),
            "198.51.100.0/24 (route: writing to routing socket: Operation not permitted)");
  EXPECT_EQ(m.record().dynamic_routes, Lines{"198.51.100.0/24"});
  // The route it did delete is added again while the app still uses its network.
  m.clear_commands();
  ASSERT_TRUE(m.engine.reconcile_custom_split_engine_routes().ok());
  EXPECT_EQ(m.commands_of("route"), Lines{add("93.184.216.0/24")});

  m.script_ok(del("198.51.100.0/24"));
  m.script_fail(del("93.184.216.0/24"), "route: writing to routing socket: not in table");
  EXPECT_EQ(*m.engine.restore_custom_split_engine(), (CustomSplitRestoreCounts{2, 1, 1}));
  EXPECT_FALSE(m.files.count(kCustomSplitStatePath));
}

// Snapshot updates race with passes. The lsof run widens the window in which a pass holds a
// record it read, and moves the clock, so that every pass has something to write. Whatever the
// interleaving, the newest accepted snapshot must survive.
struct RacingMachine : Machine {
  std::uint64_t now_epoch_seconds() override { return clock; }
  std::atomic<std::uint64_t> clock{kNow};
};

TEST(CustomSplitEngine, NoSnapshotIsLostToAConcurrentPass) {
  RacingMachine m;
  m.handler = [&](const std::string& line) -> std::optional<CommandResult> {
    if (!starts_with(line, "lsof ")) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    ++m.clock;
    return CommandResult(connection("93.184.216.34"));
  };
  ASSERT_TRUE(m.stage({"/Applications/Chat.app"}).ok());

  constexpr int kSenders = 3, kPerSender = 40;
  std::atomic<bool> done{false};
  std::vector<std::thread> passes;
  for (int i = 0; i < 2; ++i)
    passes.emplace_back([&] {
      while (!done) (void)m.engine.reconcile_custom_split_engine_routes();
    });
  std::vector<std::thread> senders;
  for (int s = 0; s < kSenders; ++s)
    senders.emplace_back([&, s] {
      for (int i = 1; i <= kPerSender; ++i) {
        std::uint64_t generation = static_cast<std::uint64_t>(i * kSenders + s);
        (void)m.update(generation, {{"Chat", "/c", {41, static_cast<std::uint32_t>(generation)}}});
      }
    });
  for (auto& t : senders) t.join();
  done = true;
  for (auto& t : passes) t.join();

  std::uint64_t last = kPerSender * kSenders + kSenders - 1;
  EXPECT_EQ(m.record().pid_generation, last);
  EXPECT_EQ(m.record().tracked_apps, (std::vector<HelperCustomSplitTrackedApp>{{"Chat", "/c", {41, static_cast<std::uint32_t>(last)}}}));
}

}  // namespace
}  // namespace kivo
