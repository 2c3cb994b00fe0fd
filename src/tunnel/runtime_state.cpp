#include "tunnel/runtime_state.h"

#include "base/ip.h"
#include "base/json_record.h"

namespace kivo {

std::string encode_runtime_state(const HelperRuntimeState& state) {
  return json::Out()
      .begin_object()
      .u64("pid", state.pid)
      .str("iface", state.iface)
      .str("server_ip", state.server_ip)
      .str("default_gateway", state.default_gateway)
      .u64("started_at", state.started_at)
      .end_object()
      .take();
}

Result<HelperRuntimeState> decode_runtime_state(std::string_view text) {
  KIVO_TRY(in, json::In::parse(text));
  KIVO_TRY(pid, in.u32("pid"));
  KIVO_TRY(iface, in.str("iface"));
  KIVO_TRY(server, in.str("server_ip"));
  KIVO_TRY(gateway, in.str("default_gateway"));
  KIVO_TRY(started, in.u64("started_at"));
  return HelperRuntimeState{pid, iface, server, gateway, started};
}

Result<HelperRuntimeState> read_state(Env& env) { return read_runtime_state(env, kTunnelStatePath); }

Result<HelperRuntimeState> read_runtime_state(Env& env, const std::string& path) {
  auto text = env.read_file(path);
  if (!text) return fail(text.error());
  return decode_runtime_state(*text);
}

Status write_state(Env& env, const HelperRuntimeState& state) {
  return env.write_file_atomic(kTunnelStatePath, encode_runtime_state(state));
}

void save_state(Env& env, const HelperRuntimeState& state) { (void)write_state(env, state); }

std::set<std::string> tunnel_owned_route_set(const HelperRuntimeState& tunnel) {
  std::set<std::string> owned = kTunnelHalfDefaults;
  // Candidates are canonical address texts, so the server's is compared in that form too.
  if (auto server = parse_ip_address(tunnel.server_ip)) owned.insert(server->text());
  owned.insert(tunnel.server_ip);
  return owned;
}

}  // namespace kivo
