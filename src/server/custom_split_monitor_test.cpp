#include "server/custom_split_monitor.h"

#include <gtest/gtest.h>

#include "server/dispatcher.h"
#include "testing/custom_split_machine.h"

namespace kivo {
namespace {

using namespace split_testing;

// A snapshot the engine refuses carries the update's own code (the other codes are pinned by the
// dispatcher, session and end-to-end tests); once staged, the monitor passes.
TEST(CustomSplitMonitor, AnUnstagedSnapshotAnswersWithThePidUpdateCodeAndPassesComeEveryTwoSeconds) {
  Machine m;
  Features features{m};
  EXPECT_EQ(protocol::encode_response(dispatch(features, protocol::UpdateCustomSplitEnginePids{2, {}})),
            R"({"Err":{"code":"CustomSplitEnginePidUpdateFailed","message":"No such file or directory"}})");
  m.script_fail(add("93.184.216.0/24"), "route: writing to routing socket: Network is unreachable");
  ASSERT_TRUE(m.stage({"/Applications/Chat.app"}).ok());
  ASSERT_TRUE(m.update(1).ok());
  run_monitor_rounds(m, custom_split_monitor(m, m.engine), 3);
  EXPECT_EQ(m.slept, std::chrono::milliseconds(4000));
  const std::string failure = "Custom split engine watchdog reconcile error: Failed adding custom split route "
                              "93.184.216.0/24: route: writing to routing socket: Network is unreachable";
  EXPECT_EQ(m.stderr_lines, Lines(3, failure));
}

}  // namespace
}  // namespace kivo
