// What the custom split engine's tests share: process 41 of Chat talking to a peer, the route
// lines the engine runs through gateway 192.0.2.1, and a machine with the engine on it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "split/custom_split_engine.h"
#include "split/custom_split_state.h"
#include "testing/fake_env.h"

namespace kivo::split_testing {

using Lines = std::vector<std::string>;
inline constexpr std::uint64_t kNow = 1700000000;
inline const std::string kLsof = "lsof -n -P -a -i4 -p 41";
inline const std::vector<HelperCustomSplitTrackedApp> kChat = {
    {"Chat", "/Applications/Chat.app/Contents/MacOS/Chat", {41}}};

inline std::string connection(const std::string& peer) {
  return "Chat 41 user 5u IPv4 0x1 0t0 TCP 192.0.2.2:50000->" + peer + ":443 (ESTABLISHED)\n";
}
inline std::string add(const std::string& route) { return "route -n add -net " + route + " 192.0.2.1"; }
inline std::string del(const std::string& route) { return "route -n delete -net " + route + " 192.0.2.1"; }

// An answer in one line: staged, active, apps/routes/dynamic routes, note.
inline std::string show(const Result<CustomSplitEngineStatus>& s) {
  if (!s) return "error: " + s.error();
  return std::string(s->staged ? "staged" : "unstaged") + (s->active ? " active " : " idle ") +
         std::to_string(s->app_count) + "/" + std::to_string(s->route_count) + "/" +
         std::to_string(s->dynamic_routes) + " " + s->note.value_or("null");
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

}  // namespace kivo::split_testing
