#include "steering/steering_pass.h"

#include "base/text.h"
#include "steering/enforcement_plan.h"
#include "steering/flow_observation.h"
#include "steering/steering_diagnostics.h"
#include "steering/steering_note.h"
#include "steering/steering_routes.h"
#include "steering/tunnel_flow_recycle.h"

namespace kivo {

void refresh_packet_steering_diagnostics_for_state(Env& env, HelperPacketSteeringEngineState& state,
                                                   const std::set<std::string>& reserved) {
  std::uint64_t now = env.now_epoch_seconds();
  bool fresh = is_packet_steering_snapshot_fresh(state, now);

  auto snapshot = observe_packet_steering_flows(env, state);
  if (snapshot) {
    record_packet_steering_observation(state, *snapshot, fresh, now);
  } else {
    record_packet_steering_observation_failure(state, snapshot.error(), now);
  }

  std::optional<std::string> observation_error = state.engine_last_error;
  // Routes are only steered, and flows only recycled, for processes known to be running now.
  bool allowed = state.pid_generation != 0 && fresh && !state.engine_last_error &&
                 state.diagnostics.tracked_processes != 0;
  std::optional<std::string> route_error = apply_packet_steering_routes(env, state, reserved, allowed);
  std::vector<std::string> recycle_errors = recycle_packet_steering_tunnel_flows(env, state, now, allowed);

  std::vector<std::string> errors;
  if (observation_error) errors.push_back(*observation_error);
  if (route_error) errors.push_back(*route_error);
  if (!recycle_errors.empty()) errors.push_back(join(recycle_errors, " | "));
  state.engine_last_error = errors.empty() ? std::nullopt : std::optional<std::string>(join(errors, " | "));

  state.diagnostics.applied_bypass_routes_ipv4 = state.applied_bypass_routes_ipv4.size();
  state.diagnostics.applied_bypass_routes_ipv6 = state.applied_bypass_routes_ipv6.size();
  finish_packet_steering_enforcement_plan(state, fresh, now);
}

}  // namespace kivo
