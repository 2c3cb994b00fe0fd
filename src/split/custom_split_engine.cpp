#include "split/custom_split_engine.h"

#include <algorithm>

#include "base/ip.h"
#include "base/text.h"
#include "split/custom_split_reconcile.h"
#include "split/split_bypass.h"

namespace kivo {
namespace {

std::uint64_t active_pid_count(const HelperCustomSplitEngineState& state) {
  std::uint64_t count = 0;
  for (const auto& app : state.tracked_apps) count += app.active_pids.size();
  return count;
}

CustomSplitEngineStatus status_of(const HelperCustomSplitEngineState& state, bool active, std::string note) {
  return {true, active, state.app_paths.size(), state.routes.size(), state.dynamic_routes.size(), std::move(note)};
}

}  // namespace

Result<CustomSplitEngineStatus> CustomSplitEngine::stage_custom_split_engine(const std::vector<std::string>& app_paths,
                                                                            const std::vector<std::string>& routes,
                                                                            const std::string& gateway,
                                                                            bool allow_lan,
                                                                            const ClientIdentity& client) {
  std::lock_guard lock(mu_);
  if (!is_ip_address(gateway)) return fail("Invalid IP provided: " + gateway);

  // The earlier staging's routes go before the request is checked, so a failed check must leave
  // a record that no longer claims them: a pass would otherwise never install them again.
  auto earlier = read_custom_split_engine_state(env_);
  bool earlier_claimed_routes = earlier && !earlier->dynamic_routes.empty();
  if (earlier) {
    ClearedRoutes cleared = clear_dynamic_routes(env_, *earlier);
    earlier->dynamic_routes = cleared.still_installed;
    earlier->dynamic_route_last_seen_at.clear();
  }
  auto keep_earlier_honest = [&](std::string error) -> Error {
    if (earlier_claimed_routes) (void)save_custom_split_engine_state(env_, *earlier);
    return fail(std::move(error));
  };

  std::vector<std::string> paths;
  for (const auto& entry : app_paths) {
    std::string path(trim(entry));
    if (path.empty()) return keep_earlier_honest("Custom split engine app path cannot be empty");
    // As the client sees it: the answer must not tell what lies in folders it cannot search.
    if (!env_.path_exists_as(client, path)) return keep_earlier_honest("Custom split engine app path does not exist: " + path);
    if (std::find(paths.begin(), paths.end(), path) == paths.end()) paths.push_back(std::move(path));
  }
  std::vector<std::string> static_routes;
  for (const auto& entry : routes) {
    auto route = normalize_split_route(entry);
    if (!route) return keep_earlier_honest(route.error());
    if (std::find(static_routes.begin(), static_routes.end(), route->route) == static_routes.end())
      static_routes.push_back(std::move(route->route));
  }

  HelperCustomSplitEngineState state;
  state.app_paths = std::move(paths);
  state.routes = std::move(static_routes);
  state.gateway = gateway;
  state.allow_lan = allow_lan;
  state.updated_at = env_.now_epoch_seconds();
  auto saved = save_custom_split_engine_state(env_, state);
  if (!saved) return keep_earlier_honest(saved.error());
  return status_of(state, false,
                   "Custom split engine staged. Waiting for live PID snapshots before dynamic app bypass routes can "
                   "be applied.");
}

Result<CustomSplitEngineStatus> CustomSplitEngine::update_custom_split_engine_pids(
    std::uint64_t generation, const std::vector<HelperCustomSplitTrackedApp>& apps) {
  std::lock_guard lock(mu_);
  KIVO_TRY(state, read_custom_split_engine_state(env_));
  if (generation < state.pid_generation)
    return status_of(state, !state.dynamic_routes.empty(),
                     "Ignoring stale custom split engine PID snapshot generation " + std::to_string(generation) +
                         " (current " + std::to_string(state.pid_generation) + ").");

  state.tracked_apps = apps;
  state.pid_generation = generation;
  state.updated_at = env_.now_epoch_seconds();
  auto saved = save_custom_split_engine_state(env_, state);
  if (!saved) return fail(saved.error());

  Status reconciled = ::kivo::reconcile_custom_split_engine_routes(env_);
  KIVO_TRY(after, read_custom_split_engine_state(env_));
  bool active = after.pid_generation != 0 &&
                age_seconds(env_.now_epoch_seconds(), after.updated_at) <= kSnapshotFreshnessSeconds &&
                !after.engine_last_error;
  std::string note =
      reconciled ? "Custom split engine runtime snapshot updated (generation " + std::to_string(generation) +
                       ", tracked apps " + std::to_string(after.tracked_apps.size()) + ", active pids " +
                       std::to_string(active_pid_count(after)) + ", dynamic routes " +
                       std::to_string(after.dynamic_routes.size()) + ")."
                 : "Custom split engine runtime snapshot updated, but route reconciliation is degraded: " +
                       reconciled.error();
  return status_of(after, active, std::move(note));
}

Result<CustomSplitRestoreCounts> CustomSplitEngine::restore_custom_split_engine() {
  std::lock_guard lock(mu_);
  auto state = read_custom_split_engine_state(env_);
  if (!state) return CustomSplitRestoreCounts{};
  ClearedRoutes cleared = clear_dynamic_routes(env_, *state);
  if (!cleared.failures.empty()) {
    // The record stays for a later restore to retry, but claims only what is still installed:
    // a route it went on claiming would never be added again while the engine runs on.
    state->dynamic_routes = cleared.still_installed;
    state->dynamic_route_last_seen_at.clear();
    (void)save_custom_split_engine_state(env_, *state);
    return fail(join(cleared.failures, " | "));
  }
  env_.remove_file(kCustomSplitStatePath);
  return CustomSplitRestoreCounts{state->app_paths.size(), state->routes.size(), cleared.deleted};
}

CustomSplitEngineStatus CustomSplitEngine::verify_custom_split_engine() {
  std::lock_guard lock(mu_);
  auto first = read_custom_split_engine_state(env_);
  if (!first) return {false, false, 0, 0, 0, std::nullopt};
  (void)::kivo::reconcile_custom_split_engine_routes(env_);
  auto reread = read_custom_split_engine_state(env_);
  const HelperCustomSplitEngineState& state = reread ? *reread : *first;

  std::uint64_t age = age_seconds(env_.now_epoch_seconds(), state.updated_at);
  if (state.pid_generation == 0)
    return status_of(state, false, "Custom split engine is staged and waiting for the first runtime PID snapshot.");
  if (state.engine_last_error)
    return status_of(state, false,
                     "Custom split engine is staged, but dynamic route reconciliation is degraded: " +
                         *state.engine_last_error);
  if (age > kSnapshotFreshnessSeconds)
    return status_of(state, false,
                     "Custom split engine is staged, but runtime PID snapshots are stale (last update " +
                         std::to_string(age) + "s ago, threshold " + std::to_string(kSnapshotFreshnessSeconds) +
                         "s).");
  return status_of(state, true,
                   "Custom split engine is live. PID generation=" + std::to_string(state.pid_generation) +
                       " tracked apps=" + std::to_string(state.tracked_apps.size()) +
                       " active pids=" + std::to_string(active_pid_count(state)) +
                       " dynamic routes=" + std::to_string(state.dynamic_routes.size()) +
                       " heartbeat_age=" + std::to_string(age) + "s.");
}

Status CustomSplitEngine::reconcile_custom_split_engine_routes() {
  std::lock_guard lock(mu_);
  return ::kivo::reconcile_custom_split_engine_routes(env_);
}

}  // namespace kivo
