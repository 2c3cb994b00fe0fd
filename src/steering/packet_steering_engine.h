// The packet steering engine's entry points: stage, PID update, verify, restore and the
// monitor's reconcile. Each reads the engine's record, changes it and saves it (or removes it)
// under the engine's one lock, so a request and a monitor pass never interleave: no accepted
// snapshot is saved over, generations never move backwards, and no route the kernel holds is
// missing from the record.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/result.h"
#include "os/env.h"
#include "protocol/helper_protocol.h"
#include "split/split_bypass.h"
#include "steering/steering_state.h"

namespace kivo {

struct PacketSteeringEngineReport {
  bool staged = true;
  bool active = false;  // the snapshot is fresh and the last pass had no error
  std::uint64_t app_count = 0;
  std::uint64_t route_count = 0;  // applied routes of both families
  HelperPacketSteeringDiagnostics diagnostics;
  std::string note;
};

struct PacketSteeringRestoreReport {
  std::uint64_t app_count = 0;
  std::uint64_t route_count = 0;
  HelperPacketSteeringDiagnostics diagnostics;
};

// Static route entries of a stage: IPv4 through the split bypass normaliser, IPv6 hosts and
// networks to their canonical, masked text. Pure.
Result<std::string> normalize_packet_steering_route(std::string_view entry);

class PacketSteeringEngine {
 public:
  // Split bypass restores leave the routes this engine has applied.
  PacketSteeringEngine(Env& env, SplitBypass& split) : env_(env), split_(split) {
    split_.shield_routes([&env] { return packet_steering_applied_route_set(env); });
  }

  Result<PacketSteeringEngineReport> stage_packet_steering_engine(const std::vector<std::string>& app_paths,
                                                                  const std::vector<std::string>& routes,
                                                                  const std::string& gateway, bool allow_lan,
                                                                  const ClientIdentity& client = {});
  Result<PacketSteeringEngineReport> update_packet_steering_pids(
      std::uint64_t generation, const std::vector<protocol::HelperCustomSplitTrackedApp>& apps);
  Result<PacketSteeringEngineReport> verify_packet_steering_engine();
  PacketSteeringRestoreReport restore_packet_steering_engine();
  // The monitor's pass: nothing when the engine is not staged, else the save error or the pass's.
  std::optional<std::string> reconcile_packet_steering_engine_runtime();

 private:
  // Split bypass routes and the tunnel's own: the engine never adds or deletes these.
  std::set<std::string> reserved_routes();
  void run_pass(HelperPacketSteeringEngineState& state);
  PacketSteeringEngineReport report(const HelperPacketSteeringEngineState& state, std::string note);

  Env& env_;
  SplitBypass& split_;
  std::mutex mu_;
};

}  // namespace kivo
