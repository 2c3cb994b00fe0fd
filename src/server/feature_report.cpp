#include "server/feature_report.h"

#include "commands/binary_resolver.h"
#include "commands/system_tools.h"
#include "tunnel/route_helpers.h"

namespace kivo {

protocol::HelperFeatureSupport supported_features(Env& env) {
  protocol::HelperFeatureSupport f;
  f.tunnel = resolve_binary_path(env, "wireguard-go").ok() && resolve_binary_path(env, "wg").ok();
  f.firewall = env.probe_command(kPfctlTool, pfctl_args::info());
  f.dns = env.probe_command("networksetup", {"-listallnetworkservices"});
  // Not a bare exit-status probe: a Mac's route exits 0 also when there is no default route.
  bool routing = f.firewall && run_route(env, route_args::get_default()).ok();
  f.split_tunnel = routing;
  f.quic_mitigation = f.firewall;
  f.custom_split_engine = routing;
  f.packet_steering_engine = routing;
  return f;
}

protocol::response::RuntimeStatus runtime_status(Env& env) {
  protocol::response::RuntimeStatus status;
  status.supported_features = supported_features(env);
  const auto& f = status.supported_features;
  status.ready_for_privileged_ops = f.tunnel && f.firewall && f.dns && f.split_tunnel && f.quic_mitigation;
  return status;
}

}  // namespace kivo
