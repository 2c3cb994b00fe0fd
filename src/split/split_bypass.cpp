#include "split/split_bypass.h"

#include <algorithm>

#include "base/ip.h"
#include "base/json_record.h"
#include "base/text.h"
#include "commands/command_runner.h"
#include "commands/system_tools.h"
#include "split/custom_split_state.h"
#include "tunnel/route_helpers.h"
#include "tunnel/runtime_state.h"

namespace kivo {
namespace {

bool is_host_entry(const std::string& route) { return route.find('/') == std::string::npos; }

// Best effort, newest first, so that a partly applied set unwinds the way it was built.
void delete_in_reverse(Env& env, const std::vector<std::string>& routes, const std::string& gateway) {
  for (auto it = routes.rbegin(); it != routes.rend(); ++it)
    (void)delete_split_route(env, *it, gateway, is_host_entry(*it));
}

// The half-default networks are the tunnel's whenever one is up; the server's host route only
// while the recorded tunnel has it.
std::set<std::string> tunnel_routes(Env& env) {
  std::set<std::string> owned = kTunnelHalfDefaults;
  if (auto tunnel = read_state(env)) owned.merge(tunnel_owned_route_set(*tunnel));
  return owned;
}

// A bypass through the physical gateway must not take over the tunnel's own routes (traffic
// would leave outside it while it reports connected, and a restore would delete them) nor the
// machine's own destinations.
Status refuse_foreign_route(const NormalizedRoute& route, const std::set<std::string>& tunnel) {
  if (tunnel.count(route.route))
    return fail("Refusing split bypass route '" + route.route + "': it is one of the tunnel's own routes");
  auto network = parse_ipv4(route.route.substr(0, route.route.find('/')));
  if (network && is_special_ipv4(*network))
    return fail("Refusing split bypass route '" + route.route + "': loopback, multicast or reserved destination");
  return {};
}

}  // namespace

Result<NormalizedRoute> normalize_split_route(std::string_view entry) {
  KIVO_TRY(parsed, parse_ipv4_route(entry));
  if (parsed.is_host) return NormalizedRoute{format_ipv4(parsed.network), true};
  if (parsed.prefix == 0) return fail("CIDR /0 is not allowed for split bypass");
  return NormalizedRoute{format_ipv4(parsed.network) + "/" + std::to_string(parsed.prefix), false};
}

Status add_split_route(Env& env, const std::string& route, const std::string& gateway, bool is_host) {
  auto added = run_route(env, route_args::numeric_add(route, gateway, is_host));
  if (added) return {};
  if (!is_route_exists_error(added.error())) return fail(added.error());
  if (verify_split_route_gateway(env, route, is_host, gateway)) return {};

  (void)delete_split_route(env, route, gateway, is_host);
  auto retried = run_route(env, route_args::numeric_add(route, gateway, is_host));
  if (!retried) return fail("Route existed with mismatched gateway and could not be replaced: " + retried.error());
  return {};
}

Status delete_split_route(Env& env, const std::string& route, const std::string& gateway, bool is_host) {
  auto deleted = run_route(env, route_args::numeric_delete(route, gateway, is_host));
  if (!deleted) return fail(deleted.error());
  return {};
}

bool verify_split_route_gateway(Env& env, const std::string& route, bool is_host, const std::string& gateway) {
  std::string address = is_host ? route : route.substr(0, route.find('/'));
  auto looked_up = run_route(env, route_args::get(address));
  if (!looked_up) return false;
  auto next_hop = parse_route_gateway(*looked_up);
  return next_hop && *next_hop == gateway;
}

std::string encode_split_state(const HelperSplitBypassState& state) {
  return json::Out()
      .begin_object()
      .str_list("routes", state.routes)
      .str("gateway", state.gateway)
      .u64("updated_at", state.updated_at)
      .end_object()
      .take();
}

Result<HelperSplitBypassState> decode_split_state(std::string_view text) {
  KIVO_TRY(in, json::In::parse(text));
  KIVO_TRY(routes, in.str_list("routes"));
  KIVO_TRY(gateway, in.str("gateway"));
  KIVO_TRY(updated_at, in.u64("updated_at"));
  return HelperSplitBypassState{std::move(routes), std::move(gateway), updated_at};
}

Result<HelperSplitBypassState> read_split_state(Env& env) {
  auto text = env.read_file(kSplitStatePath);
  if (!text) return fail(text.error());
  return decode_split_state(*text);
}

void clear_split_state(Env& env) { env.remove_file(kSplitStatePath); }

Result<std::uint64_t> SplitBypass::apply_split_bypass(const std::vector<std::string>& routes,
                                                      const std::string& gateway) {
  std::lock_guard lock(mu_);
  if (!is_ip_address(gateway)) return fail("Invalid IP provided: " + gateway);
  if (auto usable = refuse_special_address(gateway); !usable) return fail(usable.error());

  std::set<std::string> tunnel = tunnel_routes(env_);
  std::vector<NormalizedRoute> wanted;
  for (const auto& entry : routes) {
    KIVO_TRY(route, normalize_split_route(entry));
    if (auto allowed = refuse_foreign_route(route, tunnel); !allowed) return fail(allowed.error());
    if (std::find(wanted.begin(), wanted.end(), route) == wanted.end()) wanted.push_back(std::move(route));
  }

  // An earlier application's routes go first, also when the new list is empty.
  (void)restore_locked();
  if (wanted.empty()) return std::uint64_t{0};

  // The record names every route before the first is added, so a crash part-way leaves a
  // restore the whole list to undo; routes not yet added are then simply not in the table.
  std::vector<std::string> listed;
  for (const auto& route : wanted) listed.push_back(route.route);
  HelperSplitBypassState state{listed, gateway, env_.now_epoch_seconds()};
  if (auto written = env_.write_file_atomic(kSplitStatePath, encode_split_state(state)); !written) {
    clear_split_state(env_);
    return fail("Failed to persist split bypass state: " + written.error());
  }

  std::vector<std::string> added;
  for (const auto& route : wanted) {
    auto status = add_split_route(env_, route.route, gateway, route.is_host);
    if (!status) {
      delete_in_reverse(env_, added, gateway);
      clear_split_state(env_);
      return fail("Failed to add split bypass route '" + route.route + "': " + status.error());
    }
    added.push_back(route.route);
  }
  return static_cast<std::uint64_t>(added.size());
}

Result<std::uint64_t> SplitBypass::restore_split_bypass() {
  std::lock_guard lock(mu_);
  return restore_locked();
}

Result<std::uint64_t> SplitBypass::restore_locked() {
  auto state = read_split_state(env_);
  if (!state) return std::uint64_t{0};

  // Routes the packet steering engine or the tunnel rely on stay, even when split bypass
  // recorded them too (an older helper accepted the tunnel's).
  std::set<std::string> protected_routes = shielded_routes_ ? shielded_routes_() : std::set<std::string>{};
  protected_routes.merge(tunnel_routes(env_));
  // The custom split engine's /24s stay too (adopted here when the gateways matched): it counts them
  // as installed while its record lists them, and would never add them again.
  if (auto engine = read_custom_split_engine_state(env_))
    protected_routes.insert(engine->dynamic_routes.begin(), engine->dynamic_routes.end());
  std::vector<std::string> failures;
  for (const auto& route : state->routes) {
    if (protected_routes.count(route)) continue;
    auto deleted = delete_split_route(env_, route, state->gateway, is_host_entry(route));
    if (!deleted && !is_route_missing_error(deleted.error())) failures.push_back(route + " (" + deleted.error() + ")");
  }
  clear_split_state(env_);
  if (!failures.empty()) return fail(join(failures, " | "));
  return static_cast<std::uint64_t>(state->routes.size());
}

std::pair<bool, std::uint64_t> SplitBypass::verify_split_bypass() {
  std::lock_guard lock(mu_);
  auto state = read_split_state(env_);
  if (!state || state->routes.empty()) return {false, 0};
  std::uint64_t count = state->routes.size();
  for (const auto& route : state->routes)
    if (!verify_split_route_gateway(env_, route, is_host_entry(route), state->gateway)) return {false, count};
  return {true, count};
}

std::set<std::string> SplitBypass::split_bypass_owned_route_set() {
  std::lock_guard lock(mu_);
  auto state = read_split_state(env_);
  if (!state) return {};
  return {state->routes.begin(), state->routes.end()};
}

}  // namespace kivo
