#include "split/custom_split_state.h"

#include <gtest/gtest.h>

#include "testing/fake_env.h"

namespace kivo {
namespace {

const HelperCustomSplitEngineState kLive{
    {"/Applications/Chat.app"}, {"8.8.8.0/24"}, "192.0.2.1", true, 7,
    {{"Chat", "/Applications/Chat.app/Contents/MacOS/Chat", {41, 4294967295u}}, {"Idle", "/x", {}}}, 1700000000,
    {"93.184.216.0/24"}, {{"93.184.216.0/24", 1699999990}}, 1699999995, "Failed adding custom split route 1.2.3.0/24: boom"};

TEST(CustomSplitState, WritesCompactInDeclarationOrderReadsBackAndNamesTheFaultOfAnUnreadableRecord) {
  testing::FakeEnv env;
  ASSERT_TRUE(save_custom_split_engine_state(env, kLive).ok());
  EXPECT_EQ(env.files.at(kCustomSplitStatePath),
            R"({"app_paths":["/Applications/Chat.app"],"routes":["8.8.8.0/24"],"gateway":"192.0.2.1",)"
            R"("allow_lan":true,"pid_generation":7,"tracked_apps":[{"name":"Chat",)"
            R"("exe_path":"/Applications/Chat.app/Contents/MacOS/Chat","active_pids":[41,4294967295]},)"
            R"({"name":"Idle","exe_path":"/x","active_pids":[]}],"updated_at":1700000000,)"
            R"("dynamic_routes":["93.184.216.0/24"],"dynamic_route_last_seen_at":{"93.184.216.0/24":1699999990},)"
            R"("engine_last_sync_at":1699999995,"engine_last_error":"Failed adding custom split route 1.2.3.0/24: boom"})");
  EXPECT_EQ(*read_custom_split_engine_state(env), kLive);

  HelperCustomSplitEngineState staged{{}, {}, "fe80::1", false};
  ASSERT_TRUE(save_custom_split_engine_state(env, staged).ok());
  EXPECT_EQ(env.files.at(kCustomSplitStatePath),
            R"({"app_paths":[],"routes":[],"gateway":"fe80::1","allow_lan":false,"pid_generation":0,)"
            R"("tracked_apps":[],"updated_at":0,"dynamic_routes":[],"dynamic_route_last_seen_at":{},)"
            R"("engine_last_sync_at":null,"engine_last_error":null})");
  EXPECT_EQ(*read_custom_split_engine_state(env), staged);

  std::string good = encode_custom_split_engine_state(kLive);
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  // The JSON layer's own texts are pinned with its tests; these are the record's fields.
  const std::pair<std::string, std::string> cases[] = {
      {replaced("\"gateway\":\"192.0.2.1\",", ""), "missing field `gateway`"},
      {replaced("4294967295", "4294967296"), "invalid type for field `active_pids`, expected a sequence of u32"},
      {replaced("\"name\":\"Idle\",", ""), "missing field `name`"},
  };
  for (const auto& [text, error] : cases) {
    env.files[kCustomSplitStatePath] = text;
    EXPECT_EQ(read_custom_split_engine_state(env).error(), error);
  }
}

}  // namespace
}  // namespace kivo
