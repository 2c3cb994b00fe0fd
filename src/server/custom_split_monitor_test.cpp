#include "server/custom_split_monitor.h"

#include <gtest/gtest.h>

#include "server/dispatcher.h"
#include "split/custom_split_state.h"
#include "split/custom_split_test_support.h"
#include "testing/fake_env.h"

namespace kivo {
namespace {

using namespace split_testing;

struct Helper : testing::FakeEnv {
  Helper() { existing_paths.insert("/Applications/Chat.app"); }
  Features features{*this};
};

TEST(CustomSplitMonitor, PassesAtOnceThenEveryTwoSecondsAndReportsFailures) {
  Helper h;
  ASSERT_TRUE(h.features.custom_split.stage_custom_split_engine({"/Applications/Chat.app"}, {}, "192.0.2.1", false).ok());
  ASSERT_TRUE(h.features.custom_split.update_custom_split_engine_pids(1, {{"Chat", "/c", {41}}}).ok());
  h.clear_commands();
  const std::string lsof = "lsof -n -P -a -i4 -p 41";
  h.script_ok(lsof, connection("93.184.216.34"));
  h.script_fail(add("93.184.216.0/24"), "route: writing to routing socket: Network is unreachable");
  run_monitor_rounds(h, custom_split_monitor(h, h.features.custom_split), 3);
  EXPECT_EQ(h.slept, std::chrono::milliseconds(4000));
  EXPECT_EQ(h.commands(), (std::vector<std::string>{lsof, add("93.184.216.0/24"), lsof, add("93.184.216.0/24"), lsof,
                                                    add("93.184.216.0/24")}));
  const std::string failure = "Custom split engine watchdog reconcile error: Failed adding custom split route "
                              "93.184.216.0/24: route: writing to routing socket: Network is unreachable";
  EXPECT_EQ(h.stderr_lines, (std::vector<std::string>(3, failure)));
}

// A snapshot the engine refuses carries the update's own code (the other codes are pinned by the
// dispatcher, session and end-to-end tests).
TEST(CustomSplitDispatch, AnUnstagedSnapshotAnswersWithThePidUpdateCode) {
  Helper h;
  EXPECT_EQ(protocol::encode_response(dispatch(h.features, protocol::UpdateCustomSplitEnginePids{2, {}})),
            R"({"Err":{"code":"CustomSplitEnginePidUpdateFailed","message":"No such file or directory"}})");
}

}  // namespace
}  // namespace kivo
