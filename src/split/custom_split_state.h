// The custom split engine's record: what was staged, the last accepted process snapshot and the
// dynamic routes the engine installed, so that every pass and every restore, also after a
// restart, knows exactly which routes are the engine's. The packet steering engine reads and
// writes the same tracked-application entries.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/json_record.h"
#include "base/result.h"
#include "os/env.h"
#include "protocol/helper_protocol.h"

namespace kivo {

inline constexpr const char* kCustomSplitStatePath = "/var/run/com.kivovpn.helper.custom_split.state.json";

using protocol::HelperCustomSplitTrackedApp;

struct HelperCustomSplitEngineState {
  std::vector<std::string> app_paths;
  std::vector<std::string> routes;
  std::string gateway;
  bool allow_lan = false;
  std::uint64_t pid_generation = 0;
  std::vector<HelperCustomSplitTrackedApp> tracked_apps;
  std::uint64_t updated_at = 0;
  std::vector<std::string> dynamic_routes;
  std::map<std::string, std::uint64_t> dynamic_route_last_seen_at;
  std::optional<std::uint64_t> engine_last_sync_at;
  std::optional<std::string> engine_last_error;
  bool operator==(const HelperCustomSplitEngineState&) const = default;
};

// A list of tracked applications under `key`, each {"name","exe_path","active_pids"}.
void write_tracked_apps(json::Out& out, std::string_view key, const std::vector<HelperCustomSplitTrackedApp>& apps);
Result<std::vector<HelperCustomSplitTrackedApp>> read_tracked_apps(const json::In& in, std::string_view key);

std::string encode_custom_split_engine_state(const HelperCustomSplitEngineState& state);
Result<HelperCustomSplitEngineState> decode_custom_split_engine_state(std::string_view text);

// The file-system error's text when the file cannot be read (also when it does not exist), the
// parser's when it does not decode.
Result<HelperCustomSplitEngineState> read_custom_split_engine_state(Env& env);
// Atomic and 0600: a crash mid-write leaves the previous record.
Status save_custom_split_engine_state(Env& env, const HelperCustomSplitEngineState& state);

}  // namespace kivo
