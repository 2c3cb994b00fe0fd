// Route reconciliation of the custom split engine: the /24 networks the tracked processes talk
// to, learned from `lsof`, become bypass routes through the physical gateway for as long as they
// stay in use and the snapshots stay fresh.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "os/env.h"
#include "split/custom_split_state.h"

namespace kivo {

inline constexpr std::uint64_t kSnapshotFreshnessSeconds = 15;
inline constexpr std::uint64_t kLastSeenLifetimeSeconds = 45;
// A pass that changed nothing but the sync stamp writes the record only this often: the record
// holds the client's whole PID snapshot, and the monitors pass every second or two.
inline constexpr std::uint64_t kSyncStampRefreshSeconds = 60;
inline bool sync_stamp_is_recent(const std::optional<std::uint64_t>& stamp, std::uint64_t now) {
  return stamp && now >= *stamp && now - *stamp < kSyncStampRefreshSeconds;
}
inline constexpr std::size_t kObservationCap = 256;
inline constexpr TimeLimit kLsofTimeLimit{1, 500000000};

// now - then, 0 when then lies ahead.
inline std::uint64_t age_seconds(std::uint64_t now, std::uint64_t then) { return now > then ? now - then : 0; }

// The public /24 networks of the IPv4 peers in `lsof` output, leaving out what a static route
// already covers; reading stops once the cap is reached. Pure.
std::set<std::string> observed_peer_networks(std::string_view lsof_output, const std::vector<std::string>& static_routes);

// One pass over the record. Callers hold the engine's lock, so that no snapshot saved meanwhile
// is overwritten by a record this pass read before it.
Status reconcile_custom_split_engine_routes(Env& env);

// Deleting a record's dynamic routes; those whose deletion failed are still installed.
struct ClearedRoutes {
  std::uint64_t deleted = 0;
  std::vector<std::string> still_installed;
  std::vector<std::string> failures;  // "{route} ({error})"
};
ClearedRoutes clear_dynamic_routes(Env& env, const HelperCustomSplitEngineState& state);

}  // namespace kivo
