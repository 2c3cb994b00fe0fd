// The running tunnel's record: what start brought up, so that stop, status, the kill switch and
// the data-plane check can find it again, also after the helper restarts.
#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "base/result.h"
#include "os/env.h"

namespace kivo {

inline constexpr const char* kTunnelStatePath = "/var/run/com.kivovpn.helper.state.json";
// A start's own record in the same form, from the moment wireguard-go runs until the tunnel's
// record is written; a stop or the next start undoes what it names after a crash.
inline constexpr const char* kTunnelStartingPath = "/var/run/com.kivovpn.helper.state.starting.json";
// The root-only copy of the client's WireGuard configuration that wg reads, for one start.
inline constexpr const char* kTunnelConfigCopyPath = "/var/run/com.kivovpn.helper.wg.conf";

struct HelperRuntimeState {
  std::uint32_t pid = 0;
  std::string iface;
  std::string server_ip;
  std::string default_gateway;
  std::uint64_t started_at = 0;
  bool operator==(const HelperRuntimeState&) const = default;
};

std::string encode_runtime_state(const HelperRuntimeState& state);
Result<HelperRuntimeState> decode_runtime_state(std::string_view text);

// The half-default networks that carry all IPv4 traffic into the tunnel.
inline const std::set<std::string> kTunnelHalfDefaults{"0.0.0.0/1", "128.0.0.0/1"};
// The tunnel's own routes: its server's host route and the two half-default networks. Taking
// one of them over would, once withdrawn, cut the tunnel off or send half the address space
// around it.
std::set<std::string> tunnel_owned_route_set(const HelperRuntimeState& tunnel);

Result<HelperRuntimeState> read_state(Env& env);
Result<HelperRuntimeState> read_runtime_state(Env& env, const std::string& path);
// Atomic: a crash mid-write leaves the previous record, never half of one.
Status write_state(Env& env, const HelperRuntimeState& state);
// As write_state, errors ignored.
void save_state(Env& env, const HelperRuntimeState& state);

}  // namespace kivo
