#include "server/dispatcher.h"


#include "server/client_pids.h"
#include "server/feature_report.h"
#include "tunnel/data_plane.h"

namespace kivo {
namespace {

namespace req = protocol;
namespace resp = protocol::response;
using protocol::HelperResponse;

HelperResponse err(std::string_view code, std::string message) {
  return resp::Err{std::string(code), std::move(message)};
}

// Every count and the plan members from the engine's diagnostics; not staged, not active.
resp::PacketSteeringEngineStatus packet_steering_status(const HelperPacketSteeringDiagnostics& d) {
  resp::PacketSteeringEngineStatus s;
  s.diagnostics = d;
  return s;
}

void fill_engine_members(resp::PacketSteeringEngineStatus& s, const PacketSteeringEngineReport& r) {
  s.staged = r.staged;
  s.active = r.active;
  s.app_count = r.app_count;
  s.route_count = r.route_count;
  s.note = r.note;
}

// Stage and PID update name no observer and no tunnel flows, whatever the diagnostics hold.
resp::PacketSteeringEngineStatus packet_steering_status_after_change(const PacketSteeringEngineReport& r) {
  auto s = packet_steering_status(r.diagnostics);
  fill_engine_members(s, r);
  s.staged = true;
  s.diagnostics.observation_source.reset();
  s.diagnostics.tunnel_excluded_flows_ipv4 = 0;
  s.diagnostics.tunnel_excluded_flows_ipv6 = 0;
  return s;
}

struct Handler {
  Features& f;
  const ClientIdentity& client;

  HelperResponse operator()(const req::GetStatus&) { return runtime_status(f.env); }
  HelperResponse operator()(const req::Ping&) { return resp::Ok{}; }

  HelperResponse operator()(const req::StartTunnel& r) {
    auto state = f.tunnel.start_tunnel(r.config_path, r.client_ip, r.server_ip, r.gateway, client);
    if (!state) return err(protocol::code::kTunnelStartFailed, state.error());
    return resp::Status{true, state->iface, state->pid};
  }
  HelperResponse operator()(const req::StopTunnel&) {
    f.tunnel.stop_tunnel();
    return resp::Ok{};
  }
  HelperResponse operator()(const req::Status&) {
    auto state = read_state(f.env);
    if (state && f.env.process_exists(state->pid)) return resp::Status{true, state->iface, state->pid};
    return resp::Status{false, "", 0};
  }
  HelperResponse operator()(const req::Recover&) {
    // Best effort after a client restart; the kill switch and DNS stay as they are.
    f.tunnel.stop_tunnel();
    (void)f.split.restore_split_bypass();
    (void)f.custom_split.restore_custom_split_engine();
    (void)f.steering.restore_packet_steering_engine();
    (void)f.quic.remove_quic_mitigation();
    return resp::Ok{};
  }
  HelperResponse operator()(const req::VerifyTunnelDataPlane&) {
    auto status = verify_tunnel_data_plane(f.env);
    if (!status) return err(protocol::code::kTunnelDataPlaneVerifyFailed, status.error());
    return *status;
  }

  HelperResponse operator()(const req::ApplySplitBypass& r) {
    auto count = f.split.apply_split_bypass(r.routes, r.gateway);
    if (!count) return err(protocol::code::kSplitBypassApplyFailed, count.error());
    return resp::SplitBypassStatus{*count != 0, *count};
  }
  HelperResponse operator()(const req::RestoreSplitBypass&) {
    auto count = f.split.restore_split_bypass();
    if (!count) return err(protocol::code::kSplitBypassRestoreFailed, count.error());
    return resp::SplitBypassStatus{false, *count};
  }
  HelperResponse operator()(const req::VerifySplitBypass&) {
    auto [active, count] = f.split.verify_split_bypass();
    return resp::SplitBypassStatus{active, count};
  }

  HelperResponse operator()(const req::ApplyKillSwitch& r) {
    auto applied = f.kill_switch.apply_kill_switch(r.server_ip);
    if (!applied) return err(protocol::code::kKillSwitchApplyFailed, applied.error());
    return resp::Ok{};
  }
  HelperResponse operator()(const req::RemoveKillSwitch&) {
    auto removed = f.kill_switch.remove_kill_switch();
    if (!removed) return err(protocol::code::kKillSwitchRemoveFailed, removed.error());
    return resp::Ok{};
  }
  HelperResponse operator()(const req::VerifyKillSwitch&) {
    auto enabled = f.kill_switch.verify_kill_switch();
    if (!enabled) return err(protocol::code::kKillSwitchVerifyFailed, enabled.error());
    return resp::KillSwitchStatus{*enabled};
  }

  HelperResponse operator()(const req::SetQuicMitigation& r) {
    if (!r.enabled) return resp::QuicMitigationStatus{f.quic.remove_quic_mitigation()};
    auto enabled = f.quic.apply_quic_mitigation();
    if (!enabled) return err(protocol::code::kQuicMitigationSetFailed, enabled.error());
    return resp::QuicMitigationStatus{*enabled};
  }
  HelperResponse operator()(const req::VerifyQuicMitigation&) {
    auto enabled = f.quic.verify_quic_mitigation();
    if (!enabled) return err(protocol::code::kQuicMitigationVerifyFailed, enabled.error());
    return resp::QuicMitigationStatus{*enabled};
  }

  HelperResponse operator()(const req::ApplyDnsProxy& r) {
    auto count = f.dns.apply_dns_proxy(r.dns_ip);
    if (!count) return err(protocol::code::kDnsApplyFailed, count.error());
    return resp::DnsStatus{true, *count};
  }
  HelperResponse operator()(const req::RestoreDnsProxy&) {
    auto count = f.dns.restore_dns_proxy();
    if (!count) return err(protocol::code::kDnsRestoreFailed, count.error());
    return resp::DnsStatus{false, *count};
  }
  HelperResponse operator()(const req::VerifyDnsProxy& r) {
    auto verified = f.dns.verify_dns_proxy(r.dns_ip);
    if (!verified) return err(protocol::code::kDnsVerifyFailed, verified.error());
    return resp::DnsStatus{verified->active, verified->configured_services};
  }
  HelperResponse operator()(const req::StageCustomSplitEngine& r) {
    auto status = f.custom_split.stage_custom_split_engine(r.app_paths, r.routes, r.gateway, r.allow_lan, client);
    if (!status) return err(protocol::code::kCustomSplitEngineStageFailed, status.error());
    return *status;
  }
  HelperResponse operator()(const req::UpdateCustomSplitEnginePids& r) {
    auto apps = client_pid_snapshot(f.env, client, r.apps);
    if (!apps) return err(protocol::code::kCustomSplitEnginePidUpdateFailed, apps.error());
    auto status = f.custom_split.update_custom_split_engine_pids(r.generation, *apps);
    if (!status) return err(protocol::code::kCustomSplitEnginePidUpdateFailed, status.error());
    status->staged = true;
    return *status;
  }
  HelperResponse operator()(const req::RestoreCustomSplitEngine&) {
    auto counts = f.custom_split.restore_custom_split_engine();
    if (!counts) return err(protocol::code::kCustomSplitEngineRestoreFailed, counts.error());
    return resp::CustomSplitEngineStatus{false, false, counts->app_count, counts->route_count,
                                         counts->removed_dynamic_routes, std::nullopt};
  }
  HelperResponse operator()(const req::VerifyCustomSplitEngine&) { return f.custom_split.verify_custom_split_engine(); }

  HelperResponse operator()(const req::StagePacketSteeringEngine& r) {
    auto staged = f.steering.stage_packet_steering_engine(r.app_paths, r.routes, r.gateway, r.allow_lan, client);
    if (!staged) return err(protocol::code::kPacketSteeringEngineStageFailed, staged.error());
    return packet_steering_status_after_change(*staged);
  }
  HelperResponse operator()(const req::UpdatePacketSteeringPids& r) {
    auto apps = client_pid_snapshot(f.env, client, r.apps);
    if (!apps) return err(protocol::code::kPacketSteeringEnginePidUpdateFailed, apps.error());
    auto updated = f.steering.update_packet_steering_pids(r.generation, *apps);
    if (!updated) return err(protocol::code::kPacketSteeringEnginePidUpdateFailed, updated.error());
    return packet_steering_status_after_change(*updated);
  }
  HelperResponse operator()(const req::RestorePacketSteeringEngine&) {
    auto restored = f.steering.restore_packet_steering_engine();
    auto status = packet_steering_status(restored.diagnostics);
    status.app_count = restored.app_count;
    status.route_count = restored.route_count;
    return status;
  }
  HelperResponse operator()(const req::VerifyPacketSteeringEngine&) {
    auto verified = f.steering.verify_packet_steering_engine();
    if (!verified) return err(protocol::code::kPacketSteeringEngineVerifyFailed, verified.error());
    auto status = packet_steering_status(verified->diagnostics);
    fill_engine_members(status, *verified);
    return status;
  }
};

}  // namespace

protocol::HelperResponse dispatch(Features& features, const protocol::HelperRequest& request,
                                  const ClientIdentity& client) {
  return std::visit(Handler{features, client}, request);
}

}  // namespace kivo
