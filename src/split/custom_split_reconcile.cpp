#include "split/custom_split_reconcile.h"

#include <algorithm>
#include <map>
#include <optional>

#include "base/ip.h"
#include "base/text.h"
#include "commands/command_runner.h"
#include "split/lsof_peers.h"
#include "split/split_bypass.h"
#include "tunnel/route_helpers.h"

namespace kivo {
namespace {

bool is_host_entry(const std::string& route) { return route.find('/') == std::string::npos; }

}  // namespace

std::set<std::string> observed_peer_networks(std::string_view lsof_output, const std::vector<std::string>& static_routes) {
  std::set<std::string> observed;
  if (trim(lsof_output).empty()) return observed;
  for (std::string_view line : split_lines(lsof_output)) {
    auto peer = extract_remote_ip_from_lsof_line(line);
    if (!peer || peer->v6 || !is_public_ipv4(peer->ipv4())) continue;
    std::uint32_t address = peer->ipv4();
    if (std::any_of(static_routes.begin(), static_routes.end(),
                    [&](const std::string& route) { return route_contains_ipv4(route, address); }))
      continue;
    observed.insert(format_ipv4(address & prefix_mask(24)) + "/24");
    if (observed.size() >= kObservationCap) break;
  }
  return observed;
}

Status reconcile_custom_split_engine_routes(Env& env) {
  auto read = read_custom_split_engine_state(env);
  if (!read) return {};  // not staged
  HelperCustomSplitEngineState& state = *read;
  std::uint64_t now = env.now_epoch_seconds();

  // Without a fresh snapshot nothing is remembered, so every dynamic route goes below.
  std::map<std::string, std::uint64_t> remembered;
  if (state.pid_generation != 0 && age_seconds(now, state.updated_at) <= kSnapshotFreshnessSeconds) {
    std::set<std::uint32_t> pids;
    for (const auto& app : state.tracked_apps) pids.insert(app.active_pids.begin(), app.active_pids.end());
    std::set<std::string> observed;
    if (!pids.empty()) {
      std::vector<std::string> ids;
      for (auto pid : pids) ids.push_back(std::to_string(pid));
      auto listed = run_cmd_owned_with_timeout(env, "lsof", {"-n", "-P", "-a", "-i4", "-p", join(ids, ",")},
                                               kLsofTimeLimit);
      // lsof also fails when none of the processes has a connection: that is no connection.
      if (!listed && contains(trim(listed.error()), "timed out"))
        return fail("Failed to inspect active app connections via lsof: " + listed.error());
      if (listed) observed = observed_peer_networks(*listed, state.routes);
    }
    remembered = state.dynamic_route_last_seen_at;
    for (const auto& route : observed) remembered[route] = now;
    std::erase_if(remembered, [&](const auto& entry) { return age_seconds(now, entry.second) > kLastSeenLifetimeSeconds; });
  }

  std::set<std::string> current(state.dynamic_routes.begin(), state.dynamic_routes.end());
  std::optional<std::string> error;
  for (const auto& route : std::set<std::string>(current)) {
    if (remembered.count(route)) continue;
    auto deleted = delete_split_route(env, route, state.gateway, is_host_entry(route));
    if (deleted || is_route_missing_error(deleted.error())) current.erase(route);
    else error = "Failed removing custom split route " + route + ": " + deleted.error();
  }
  for (const auto& [route, seen_at] : remembered) {
    if (current.count(route)) continue;
    auto added = add_split_route(env, route, state.gateway, is_host_entry(route));
    if (added) current.insert(route);
    else error = "Failed adding custom split route " + route + ": " + added.error();
  }

  std::vector<std::string> dynamic_routes(current.begin(), current.end());
  bool unchanged = dynamic_routes == state.dynamic_routes && remembered == state.dynamic_route_last_seen_at &&
                   sync_stamp_is_recent(state.engine_last_sync_at, now) && error == state.engine_last_error;
  if (!unchanged) {
    state.dynamic_routes = std::move(dynamic_routes);
    state.dynamic_route_last_seen_at = std::move(remembered);
    state.engine_last_sync_at = now;
    state.engine_last_error = error;
    auto saved = save_custom_split_engine_state(env, state);
    if (!saved) return fail(saved.error());
  }
  if (error) return fail(*error);
  return {};
}

ClearedRoutes clear_dynamic_routes(Env& env, const HelperCustomSplitEngineState& state) {
  ClearedRoutes cleared;
  for (const auto& route : state.dynamic_routes) {
    auto deleted = delete_split_route(env, route, state.gateway, is_host_entry(route));
    if (deleted) {
      ++cleared.deleted;
    } else if (!is_route_missing_error(deleted.error())) {
      cleared.still_installed.push_back(route);
      cleared.failures.push_back(route + " (" + deleted.error() + ")");
    }
  }
  return cleared;
}

}  // namespace kivo
