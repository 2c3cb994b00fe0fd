// Tunnel-flow recycling: connections of excluded processes that began in the tunnel keep going
// there after their host got a bypass route, so the packet filter is asked to drop their states
// and the application reconnects around the tunnel.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/result.h"
#include "os/env.h"
#include "steering/steering_state.h"

namespace kivo {

// An attempt per host at most this often.
inline constexpr std::uint64_t kTunnelFlowRecycleIntervalSeconds = 12;

// `pfctl -k` for the host's states, 1 s at most. Killed, not killed (pf is off or absent), or the
// tool's error.
Result<bool> kill_packet_steering_states_for_remote_host(Env& env, const std::string& host, bool is_ipv6);

// Sets the last recycle counts; with `allowed`, kills the states of every tunnel destination that
// has an applied route and no attempt in the last 12 s. Yields one text per failed kill.
std::vector<std::string> recycle_packet_steering_tunnel_flows(Env& env, HelperPacketSteeringEngineState& state,
                                                              std::uint64_t now, bool allowed);

}  // namespace kivo
