#include "steering/packet_steering_engine.h"

#include <algorithm>

#include "base/ip.h"
#include "base/text.h"
#include "commands/system_tools.h"
#include "split/custom_split_reconcile.h"
#include "steering/enforcement_plan.h"
#include "steering/flow_learning.h"
#include "steering/route_planning.h"
#include "steering/steering_note.h"
#include "steering/steering_pass.h"
#include "steering/steering_routes.h"
#include "tunnel/runtime_state.h"

namespace kivo {
namespace {

template <class T>
void append_unique(std::vector<T>& list, T item) {
  if (std::find(list.begin(), list.end(), item) == list.end()) list.push_back(std::move(item));
}

bool same_set(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  return std::set<std::string>(a.begin(), a.end()) == std::set<std::string>(b.begin(), b.end());
}

template <class Record>
bool same_configuration(const Record& record, const std::vector<std::string>& app_paths,
                        const std::vector<std::string>& routes, const std::string& gateway, bool allow_lan) {
  return record.gateway == gateway && record.allow_lan == allow_lan && same_set(record.app_paths, app_paths) &&
         same_set(record.routes, routes);
}

// The physical IPv6 gateway, asked of the route tool directly; none when it cannot tell.
std::optional<std::string> find_ipv6_gateway(Env& env) {
  auto output = route_outcome(env.run_command(kRouteTool, route_args::get_default_inet6(), std::nullopt));
  if (!output) return std::nullopt;
  for (std::string_view line : split_lines(*output)) {
    line = trim(line);
    if (!starts_with(line, "gateway:")) continue;
    auto words = split_whitespace(line);
    if (words.size() > 1) return std::string(words[1]);
  }
  return std::nullopt;
}

std::string count_text(std::uint64_t n) { return std::to_string(n); }

}  // namespace

Result<std::string> normalize_packet_steering_route(std::string_view entry) {
  std::string_view text = trim(entry);
  auto slash = text.find('/');
  auto address = parse_ip_address(text.substr(0, slash));
  // Only an IPv6 address takes the IPv6 path; anything else (10.0.0.1:80 too) is an IPv4 entry
  // and gets the split bypass normaliser's words.
  if (!address || !address->v6) {
    KIVO_TRY(route, normalize_split_route(entry));
    return route.route;
  }
  std::string invalid = "Invalid IPv6 route '" + std::string(text) + "'";
  if (slash == std::string_view::npos) return address->text();
  auto prefix = parse_u8(text.substr(slash + 1));
  if (!prefix || *prefix > 128) return fail(invalid);
  if (*prefix == 0) return fail("CIDR /0 is not allowed for split bypass");
  for (int bit = *prefix; bit < 128; ++bit) address->bytes[bit / 8] &= static_cast<std::uint8_t>(~(0x80u >> (bit % 8)));
  return address->text() + "/" + std::to_string(*prefix);
}

std::set<std::string> PacketSteeringEngine::reserved_routes() {
  std::set<std::string> reserved = split_.split_bypass_owned_route_set();
  if (auto tunnel = read_state(env_)) reserved.merge(tunnel_owned_route_set(*tunnel));
  return reserved;
}

void PacketSteeringEngine::run_pass(HelperPacketSteeringEngineState& state) {
  refresh_packet_steering_diagnostics_for_state(env_, state, reserved_routes());
}

PacketSteeringEngineReport PacketSteeringEngine::report(const HelperPacketSteeringEngineState& state,
                                                        std::string note) {
  PacketSteeringEngineReport r;
  r.active = is_packet_steering_snapshot_fresh(state, env_.now_epoch_seconds()) && !state.engine_last_error;
  r.app_count = state.app_paths.size();
  r.route_count = state.applied_bypass_routes_ipv4.size() + state.applied_bypass_routes_ipv6.size();
  r.diagnostics = state.diagnostics;
  r.note = std::move(note);
  return r;
}

Result<PacketSteeringEngineReport> PacketSteeringEngine::stage_packet_steering_engine(
    const std::vector<std::string>& app_paths, const std::vector<std::string>& routes, const std::string& gateway,
    bool allow_lan, const ClientIdentity& client) {
  // The probe and the checks need no record: a slow route tool holds no other request up.
  if (!is_ip_address(gateway)) return fail("Invalid IP provided: " + gateway);
  std::optional<std::string> ipv6_gateway = find_ipv6_gateway(env_);

  std::vector<std::string> paths;
  for (const auto& path : app_paths) {
    // As the client sees it: the answer must not tell what lies in folders it cannot search.
    if (!env_.path_exists_as(client, path)) return fail("Packet steering app path does not exist: " + path);
    append_unique(paths, path);
  }
  std::vector<std::string> static_routes;
  for (const auto& entry : routes) {
    KIVO_TRY(route, normalize_packet_steering_route(entry));
    append_unique(static_routes, std::move(route));
  }

  std::lock_guard lock(mu_);
  std::optional<HelperPacketSteeringEngineState> previous;
  if (auto read = read_packet_steering_state(env_)) {
    (void)clear_packet_steering_applied_routes_for_state(env_, *read, reserved_routes());
    if (same_configuration(*read, paths, static_routes, gateway, allow_lan)) previous = std::move(*read);
  }
  std::optional<PacketSteeringCacheState> cache;
  if (!previous) {
    auto read = read_packet_steering_cache(env_);
    if (read && same_configuration(*read, paths, static_routes, gateway, allow_lan)) cache = std::move(*read);
  }

  std::uint64_t now = env_.now_epoch_seconds();
  HelperPacketSteeringEngineState state;
  state.app_paths = paths;
  state.routes = static_routes;
  state.gateway = gateway;
  state.ipv6_gateway = ipv6_gateway;
  state.allow_lan = allow_lan;
  auto take_learning = [&state](const auto& from) {
    state.observed_destination_last_seen_at_ipv4 = from.observed_destination_last_seen_at_ipv4;
    state.observed_destination_last_seen_at_ipv6 = from.observed_destination_last_seen_at_ipv6;
    state.candidate_route_last_seen_at_ipv4 = from.candidate_route_last_seen_at_ipv4;
    state.candidate_route_last_seen_at_ipv6 = from.candidate_route_last_seen_at_ipv6;
    state.tunnel_destination_last_seen_at_ipv4 = from.tunnel_destination_last_seen_at_ipv4;
    state.tunnel_destination_last_seen_at_ipv6 = from.tunnel_destination_last_seen_at_ipv6;
  };
  if (previous) {
    take_learning(*previous);
    state.tunnel_flow_recycle_last_attempt_at_ipv4 = previous->tunnel_flow_recycle_last_attempt_at_ipv4;
    state.tunnel_flow_recycle_last_attempt_at_ipv6 = previous->tunnel_flow_recycle_last_attempt_at_ipv6;
  } else if (cache) {
    take_learning(*cache);
  }

  bool reuse_snapshot = previous && previous->pid_generation != 0 &&
                        is_packet_steering_snapshot_fresh(*previous, now) && !previous->engine_last_error;
  if (reuse_snapshot) {
    state.pid_generation = previous->pid_generation;
    state.tracked_apps = previous->tracked_apps;
    state.updated_at = previous->updated_at;
    run_pass(state);
  } else {
    state.updated_at = now;
    prune_packet_steering_observation_cache(state, now);
    update_packet_steering_planned_routes_for_state(state);
    update_packet_steering_enforcement_ready_routes_for_state(state, {}, {});
    // Only a pass copies the plan into the diagnostics: until then they stay zeroed.
    update_packet_steering_enforcement_plan_for_state(state, false, now);
  }
  if (auto saved = save_packet_steering_state(env_, state); !saved) return fail(saved.error());

  std::string cached_ipv4 = count_text(state.candidate_route_last_seen_at_ipv4.size());
  std::string cached_ipv6 = count_text(state.candidate_route_last_seen_at_ipv6.size());
  std::string note;
  if (reuse_snapshot) {
    note = "Packet steering engine staged. Reusing a fresh excluded-process snapshot with " +
           count_text(state.diagnostics.tracked_processes) + " tracked processes, " + cached_ipv4 +
           " cached IPv4 routes, and " + cached_ipv6 + " cached IPv6 routes.";
  } else if (state.candidate_route_last_seen_at_ipv4.empty() && state.candidate_route_last_seen_at_ipv6.empty()) {
    note = "Packet steering engine staged. Waiting for the first excluded-process snapshot before diagnostics "
           "become active.";
  } else {
    note = "Packet steering engine staged. Reusing " + cached_ipv4 + " cached IPv4 routes and " + cached_ipv6 +
           " cached IPv6 routes while waiting for the first excluded-process snapshot.";
  }
  return report(state, std::move(note));
}

Result<PacketSteeringEngineReport> PacketSteeringEngine::update_packet_steering_pids(
    std::uint64_t generation, const std::vector<protocol::HelperCustomSplitTrackedApp>& apps) {
  std::lock_guard lock(mu_);
  KIVO_TRY(state, read_packet_steering_state(env_));
  if (generation < state.pid_generation) {
    state.diagnostics.stale_pid_snapshots = saturating_add(state.diagnostics.stale_pid_snapshots, 1);
    if (auto saved = save_packet_steering_state(env_, state); !saved) return fail(saved.error());
    return report(state, "Ignoring stale packet steering PID snapshot generation " + std::to_string(generation) +
                             " (current " + std::to_string(state.pid_generation) + ").");
  }
  state.pid_generation = generation;
  state.tracked_apps = apps;
  state.updated_at = env_.now_epoch_seconds();
  run_pass(state);
  if (auto saved = save_packet_steering_state(env_, state); !saved) return fail(saved.error());
  return report(state, packet_steering_note(state, env_.now_epoch_seconds()));
}

Result<PacketSteeringEngineReport> PacketSteeringEngine::verify_packet_steering_engine() {
  std::lock_guard lock(mu_);
  KIVO_TRY(state, read_packet_steering_state(env_));
  run_pass(state);
  if (auto saved = save_packet_steering_state(env_, state); !saved) return fail(saved.error());
  return report(state, packet_steering_note(state, env_.now_epoch_seconds()));
}

PacketSteeringRestoreReport PacketSteeringEngine::restore_packet_steering_engine() {
  std::lock_guard lock(mu_);
  auto state = read_packet_steering_state(env_);
  if (!state) return {};
  std::uint64_t route_count = state->applied_bypass_routes_ipv4.size() + state->applied_bypass_routes_ipv6.size();
  (void)clear_packet_steering_applied_routes_for_state(env_, *state, reserved_routes());

  PacketSteeringCacheState cache;
  cache.app_paths = state->app_paths;
  cache.routes = state->routes;
  cache.gateway = state->gateway;
  cache.ipv6_gateway = state->ipv6_gateway;
  cache.allow_lan = state->allow_lan;
  cache.saved_at = env_.now_epoch_seconds();
  cache.observed_destination_last_seen_at_ipv4 = state->observed_destination_last_seen_at_ipv4;
  cache.observed_destination_last_seen_at_ipv6 = state->observed_destination_last_seen_at_ipv6;
  cache.candidate_route_last_seen_at_ipv4 = state->candidate_route_last_seen_at_ipv4;
  cache.candidate_route_last_seen_at_ipv6 = state->candidate_route_last_seen_at_ipv6;
  cache.tunnel_destination_last_seen_at_ipv4 = state->tunnel_destination_last_seen_at_ipv4;
  cache.tunnel_destination_last_seen_at_ipv6 = state->tunnel_destination_last_seen_at_ipv6;
  (void)save_packet_steering_cache(env_, cache);

  env_.remove_file(kPacketSteeringStatePath);
  return {state->app_paths.size(), route_count, state->diagnostics};
}

std::optional<std::string> PacketSteeringEngine::reconcile_packet_steering_engine_runtime() {
  std::lock_guard lock(mu_);
  auto state = read_packet_steering_state(env_);
  if (!state) return std::nullopt;
  const HelperPacketSteeringEngineState before = *state;
  run_pass(*state);
  HelperPacketSteeringEngineState but_the_stamp = *state;
  but_the_stamp.engine_last_sync_at = before.engine_last_sync_at;
  if (but_the_stamp == before && sync_stamp_is_recent(before.engine_last_sync_at, env_.now_epoch_seconds()))
    return state->engine_last_error;
  if (auto saved = save_packet_steering_state(env_, *state); !saved) return saved.error();
  return state->engine_last_error;
}

}  // namespace kivo
