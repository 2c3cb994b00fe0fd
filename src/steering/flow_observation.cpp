#include "steering/flow_observation.h"

#include <string>
#include <vector>

#include "base/text.h"
#include "commands/command_runner.h"
#include "steering/flow_parsers.h"

namespace kivo {
namespace {

constexpr TimeLimit kNettopLimit{3, 500000000};
constexpr TimeLimit kLsofLimit{1, 500000000};

}  // namespace

std::set<std::uint32_t> packet_steering_pid_set(const HelperPacketSteeringEngineState& state) {
  std::set<std::uint32_t> pids;
  for (const auto& app : state.tracked_apps) pids.insert(app.active_pids.begin(), app.active_pids.end());
  return pids;
}

Result<PacketSteeringObservationSnapshot> observe_packet_steering_flows(Env& env,
                                                                        const HelperPacketSteeringEngineState& state) {
  auto pids = packet_steering_pid_set(state);
  if (pids.empty()) return PacketSteeringObservationSnapshot{};

  std::vector<std::string> nettop_args = {"-n", "-L", "1"};
  std::vector<std::string> pid_texts;
  for (auto pid : pids) {
    nettop_args.push_back("-p");
    nettop_args.push_back(std::to_string(pid));
    pid_texts.push_back(std::to_string(pid));
  }
  auto nettop = run_cmd_owned_with_timeout(env, "nettop", std::move(nettop_args), kNettopLimit);
  if (nettop) return parse_nettop_flows(*nettop, pids, state.routes);

  std::string nettop_message = "Failed to inspect packet steering flows via nettop: " + nettop.error();
  auto lsof = run_cmd_owned_with_timeout(env, "lsof", {"-n", "-P", "-a", "-i", "-p", join(pid_texts, ",")}, kLsofLimit);
  if (lsof) {
    if (trim(*lsof).empty()) return PacketSteeringObservationSnapshot{};
    return parse_lsof_flows(*lsof, state.routes);
  }
  // lsof exits unsuccessfully when no process has a network file: that is an empty snapshot.
  if (!contains(trim(lsof.error()), "timed out")) return PacketSteeringObservationSnapshot{};
  return fail("Failed to inspect packet steering flows via nettop (" + nettop_message + ") or lsof (" +
              "Failed to inspect packet steering flows via lsof: " + lsof.error() + ")");
}

}  // namespace kivo
