#include "server/dispatcher.h"


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

// Requests whose feature this build does not carry yet answer with their own code.
HelperResponse unavailable(std::string_view code) { return err(code, "not available in this build"); }

struct Handler {
  Features& f;

  HelperResponse operator()(const req::GetStatus&) { return runtime_status(f.env); }
  HelperResponse operator()(const req::Ping&) { return resp::Ok{}; }

  HelperResponse operator()(const req::StartTunnel& r) {
    auto state = f.tunnel.start_tunnel(r.config_path, r.client_ip, r.server_ip, r.gateway);
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
    auto status = f.custom_split.stage_custom_split_engine(r.app_paths, r.routes, r.gateway, r.allow_lan);
    if (!status) return err(protocol::code::kCustomSplitEngineStageFailed, status.error());
    return *status;
  }
  HelperResponse operator()(const req::UpdateCustomSplitEnginePids& r) {
    auto status = f.custom_split.update_custom_split_engine_pids(r.generation, r.apps);
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

  HelperResponse operator()(const req::StagePacketSteeringEngine&) {
    return unavailable(protocol::code::kPacketSteeringEngineStageFailed);
  }
  HelperResponse operator()(const req::UpdatePacketSteeringPids&) {
    return unavailable(protocol::code::kPacketSteeringEnginePidUpdateFailed);
  }
  HelperResponse operator()(const req::RestorePacketSteeringEngine&) {
    return unavailable(protocol::code::kPacketSteeringEngineRestoreFailed);
  }
  HelperResponse operator()(const req::VerifyPacketSteeringEngine&) {
    return unavailable(protocol::code::kPacketSteeringEngineVerifyFailed);
  }
};

}  // namespace

protocol::HelperResponse dispatch(Features& features, const protocol::HelperRequest& request) {
  return std::visit(Handler{features}, request);
}

}  // namespace kivo
