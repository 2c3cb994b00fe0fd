#include "steering/tunnel_flow_recycle.h"

#include <algorithm>

#include "base/text.h"
#include "commands/command_runner.h"
#include "commands/system_tools.h"

namespace kivo {

Result<bool> kill_packet_steering_states_for_remote_host(Env& env, const std::string& host, bool is_ipv6) {
  auto killed = run_cmd_owned_with_timeout(env, kPfctlTool, pfctl_args::kill_states(host, is_ipv6), TimeLimit{1, 0});
  if (killed) return true;
  std::string lower = to_lower_ascii(killed.error());
  if (contains(lower, "pf not enabled") || contains(lower, "device not configured")) return false;
  return fail(killed.error());
}

std::vector<std::string> recycle_packet_steering_tunnel_flows(Env& env, HelperPacketSteeringEngineState& state,
                                                              std::uint64_t now, bool allowed) {
  state.last_tunnel_flow_recycle_count_ipv4 = 0;
  state.last_tunnel_flow_recycle_count_ipv6 = 0;
  std::vector<std::string> errors;
  if (!allowed) return errors;

  struct Family {
    const LastSeenMap& tunnel_destinations;
    const std::vector<std::string>& applied;
    LastSeenMap& attempts;
    std::uint64_t& recycled;
    bool is_ipv6;
    const char* name;
  };
  Family families[] = {
      {state.tunnel_destination_last_seen_at_ipv4, state.applied_bypass_routes_ipv4,
       state.tunnel_flow_recycle_last_attempt_at_ipv4, state.last_tunnel_flow_recycle_count_ipv4, false, "IPv4"},
      {state.tunnel_destination_last_seen_at_ipv6, state.applied_bypass_routes_ipv6,
       state.tunnel_flow_recycle_last_attempt_at_ipv6, state.last_tunnel_flow_recycle_count_ipv6, true, "IPv6"},
  };
  for (auto& family : families) {
    for (const auto& [host, seen_at] : family.tunnel_destinations) {
      (void)seen_at;
      if (std::find(family.applied.begin(), family.applied.end(), host) == family.applied.end()) continue;
      auto last = family.attempts.find(host);
      std::uint64_t last_attempt = last == family.attempts.end() ? 0 : last->second;
      if ((now > last_attempt ? now - last_attempt : 0) < kTunnelFlowRecycleIntervalSeconds) continue;
      family.attempts[host] = now;
      auto killed = kill_packet_steering_states_for_remote_host(env, host, family.is_ipv6);
      if (!killed) {
        errors.push_back(std::string("Failed recycling stale ") + family.name + " tunnel flow " + host + ": " +
                         killed.error());
      } else if (*killed) {
        family.recycled = saturating_add(family.recycled, 1);
      }
    }
  }
  return errors;
}

}  // namespace kivo
