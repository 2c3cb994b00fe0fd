// The packet steering engine's records: the engine state with its diagnostics, the cache that
// carries learned observations across a restore, and the one-pass observation snapshot. Each
// record's fields are named once in a table that both the reader and the writer walk.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "os/env.h"
#include "protocol/helper_protocol.h"
#include "protocol/packet_steering_diagnostics.h"

namespace kivo {

inline constexpr const char* kPacketSteeringStatePath = "/var/run/com.kivovpn.helper.packet_steering.state.json";
inline constexpr const char* kPacketSteeringCachePath = "/var/run/com.kivovpn.helper.packet_steering.cache.json";

// Address or route text -> epoch seconds it was last seen; iterates (and serialises) in key order.
using LastSeenMap = std::map<std::string, std::uint64_t>;

struct HelperPacketSteeringEngineState {
  std::vector<std::string> app_paths;
  std::vector<std::string> routes;
  std::string gateway;
  std::optional<std::string> ipv6_gateway;
  bool allow_lan = false;
  std::uint64_t pid_generation = 0;
  std::vector<protocol::HelperCustomSplitTrackedApp> tracked_apps;
  std::uint64_t updated_at = 0;
  HelperPacketSteeringDiagnostics diagnostics;
  LastSeenMap observed_destination_last_seen_at_ipv4;
  LastSeenMap observed_destination_last_seen_at_ipv6;
  LastSeenMap candidate_route_last_seen_at_ipv4;
  LastSeenMap candidate_route_last_seen_at_ipv6;
  LastSeenMap tunnel_destination_last_seen_at_ipv4;
  LastSeenMap tunnel_destination_last_seen_at_ipv6;
  LastSeenMap tunnel_flow_recycle_last_attempt_at_ipv4;
  LastSeenMap tunnel_flow_recycle_last_attempt_at_ipv6;
  std::vector<std::string> static_bypass_routes_ipv4;
  std::vector<std::string> static_bypass_routes_ipv6;
  std::vector<std::string> learned_bypass_routes_ipv4;
  std::vector<std::string> learned_bypass_routes_ipv6;
  std::vector<std::string> enforcement_ready_routes_ipv4;
  std::vector<std::string> enforcement_ready_routes_ipv6;
  std::vector<std::string> planned_bypass_routes_ipv4;
  std::vector<std::string> planned_bypass_routes_ipv6;
  std::vector<std::string> applied_bypass_routes_ipv4;
  std::vector<std::string> applied_bypass_routes_ipv6;
  bool enforcement_plan_ready = false;
  std::uint64_t enforcement_plan_revision = 0;
  std::string enforcement_plan_signature;
  std::optional<std::uint64_t> enforcement_plan_last_updated_at;
  std::optional<std::string> enforcement_plan_summary;
  std::optional<std::uint64_t> engine_last_sync_at;
  std::optional<std::string> engine_last_error;
  std::uint64_t last_tunnel_flow_recycle_count_ipv4 = 0;
  std::uint64_t last_tunnel_flow_recycle_count_ipv6 = 0;
  bool operator==(const HelperPacketSteeringEngineState&) const = default;
};

// Learned observations of one configuration (the first five fields), kept across a restore.
struct PacketSteeringCacheState {
  std::vector<std::string> app_paths;
  std::vector<std::string> routes;
  std::string gateway;
  std::optional<std::string> ipv6_gateway;
  bool allow_lan = false;
  std::uint64_t saved_at = 0;
  LastSeenMap observed_destination_last_seen_at_ipv4;
  LastSeenMap observed_destination_last_seen_at_ipv6;
  LastSeenMap candidate_route_last_seen_at_ipv4;
  LastSeenMap candidate_route_last_seen_at_ipv6;
  LastSeenMap tunnel_destination_last_seen_at_ipv4;
  LastSeenMap tunnel_destination_last_seen_at_ipv6;
  bool operator==(const PacketSteeringCacheState&) const = default;
};

// What one pass saw of the excluded processes' flows; never stored.
struct PacketSteeringObservationSnapshot {
  std::optional<std::string> observer;  // "nettop" or "lsof"; none when nothing was asked or seen
  std::uint64_t active_excluded_flows_ipv4 = 0;
  std::uint64_t active_excluded_flows_ipv6 = 0;
  std::uint64_t tunnel_excluded_flows_ipv4 = 0;
  std::uint64_t tunnel_excluded_flows_ipv6 = 0;
  std::set<std::string> observed_public_destinations_ipv4;
  std::set<std::string> observed_public_destinations_ipv6;
  std::set<std::string> candidate_routes_ipv4;
  std::set<std::string> candidate_routes_ipv6;
  std::set<std::string> tunnel_destinations_ipv4;
  std::set<std::string> tunnel_destinations_ipv6;
  bool operator==(const PacketSteeringObservationSnapshot&) const = default;
};

// Compact JSON in declaration order; decoding names the first missing or mistyped field. Pure.
std::string encode_packet_steering_state(const HelperPacketSteeringEngineState& state);
Result<HelperPacketSteeringEngineState> decode_packet_steering_state(std::string_view text);
std::string encode_packet_steering_cache(const PacketSteeringCacheState& cache);
Result<PacketSteeringCacheState> decode_packet_steering_cache(std::string_view text);

// Errors are the plain texts of the file system or the JSON reader; a missing file means the
// engine is not staged. Saves are atomic (temporary file, 0600, fsync, rename).
Result<HelperPacketSteeringEngineState> read_packet_steering_state(Env& env);
Status save_packet_steering_state(Env& env, const HelperPacketSteeringEngineState& state);
Result<PacketSteeringCacheState> read_packet_steering_cache(Env& env);
Status save_packet_steering_cache(Env& env, const PacketSteeringCacheState& cache);

// The routes a readable engine record says it applied (both families); empty otherwise. An
// unreadable record owns nothing, so it shields nothing from split bypass restore.
std::set<std::string> packet_steering_applied_route_set(Env& env);

}  // namespace kivo
