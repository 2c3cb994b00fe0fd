#include "server/custom_split_monitor.h"

#include <gtest/gtest.h>

#include "server/dispatcher.h"
#include "split/custom_split_state.h"
#include "testing/fake_env.h"

namespace kivo {
namespace {

using std::chrono::milliseconds;
namespace resp = protocol::response;
using protocol::encode_response;

const std::string kLsof = "lsof -n -P -a -i4 -p 41";
const std::string kAdd = "route -n add -net 93.184.216.0/24 192.0.2.1";

struct Helper : testing::FakeEnv {
  Helper() { existing_paths.insert("/Applications/Chat.app"); }
  protocol::HelperResponse ask(protocol::HelperRequest request) { return dispatch(features, request); }
  Features features{*this};
};

TEST(CustomSplitMonitor, PassesAtOnceThenEveryTwoSecondsAndReportsFailures) {
  Helper h;
  ASSERT_TRUE(h.features.custom_split.stage_custom_split_engine({"/Applications/Chat.app"}, {}, "192.0.2.1", false).ok());
  ASSERT_TRUE(h.features.custom_split.update_custom_split_engine_pids(1, {{"Chat", "/c", {41}}}).ok());
  h.clear_commands();
  h.script(kLsof, {CommandResult(fail("lsof timed out after 1500 ms")),
                   CommandResult("Chat 41 u 5u IPv4 0x1 0t0 TCP 192.0.2.2:5->93.184.216.34:443 (ESTABLISHED)\n")});
  h.script_fail(kAdd, "route: writing to routing socket: Network is unreachable");
  run_monitor_rounds(h, custom_split_monitor(h, h.features.custom_split), 3);
  EXPECT_EQ(h.slept, milliseconds(4000));
  EXPECT_EQ(h.commands(), (std::vector<std::string>{kLsof, kLsof, kAdd, kLsof, kAdd}));
  const std::string prefix = "Custom split engine watchdog reconcile error: ";
  const std::string unreachable = prefix + "Failed adding custom split route 93.184.216.0/24: route: writing to "
                                           "routing socket: Network is unreachable";
  EXPECT_EQ(h.stderr_lines, (std::vector<std::string>{prefix + "Failed to inspect active app connections via lsof: "
                                                               "lsof timed out after 1500 ms",
                                                      unreachable, unreachable}));
}

TEST(CustomSplitDispatch, RequestsAnswerWithTheEngineStatus) {
  Helper h;
  auto status = [](const protocol::HelperResponse& r) { return std::get<resp::CustomSplitEngineStatus>(r); };
  auto staged = status(h.ask(protocol::StageCustomSplitEngine{{"/Applications/Chat.app"}, {"8.8.8.8"}, "192.0.2.1", false}));
  EXPECT_TRUE(staged.staged);
  EXPECT_FALSE(staged.active);

  h.script_ok(kLsof, "Chat 41 u 5u IPv4 0x1 0t0 TCP 192.0.2.2:5->93.184.216.34:443 (ESTABLISHED)\n");
  auto updated = status(h.ask(protocol::UpdateCustomSplitEnginePids{1, {{"Chat", "/c", {41}}}}));
  EXPECT_EQ(std::tie(updated.staged, updated.active, updated.app_count, updated.route_count, updated.dynamic_routes),
            std::make_tuple(true, true, 1u, 1u, 1u));
  EXPECT_TRUE(status(h.ask(protocol::VerifyCustomSplitEngine{})).active);

  // Recover takes the engine down with the rest; the restore answer carries the counts.
  EXPECT_TRUE(std::holds_alternative<resp::Ok>(h.ask(protocol::Recover{})));
  EXPECT_FALSE(h.files.count(kCustomSplitStatePath));
  EXPECT_EQ(h.commands_of("route").back(), "route -n delete -net 93.184.216.0/24 192.0.2.1");
  h.ask(protocol::StageCustomSplitEngine{{"/Applications/Chat.app"}, {"8.8.8.8"}, "192.0.2.1", false});
  h.ask(protocol::UpdateCustomSplitEnginePids{1, {{"Chat", "/c", {41}}}});
  EXPECT_EQ(encode_response(h.ask(protocol::RestoreCustomSplitEngine{})), R"({"CustomSplitEngineStatus":{"staged":false,"active":false,"app_count":1,)"
                                       R"("route_count":1,"dynamic_routes":1,"note":null}})");

  auto failed = h.ask(protocol::UpdateCustomSplitEnginePids{2, {}});
  EXPECT_EQ(encode_response(failed),
            R"({"Err":{"code":"CustomSplitEnginePidUpdateFailed","message":"No such file or directory"}})");
}

}  // namespace
}  // namespace kivo
