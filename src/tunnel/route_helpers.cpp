#include "tunnel/route_helpers.h"

#include "base/ip.h"
#include "base/text.h"
#include "commands/command_runner.h"
#include "commands/system_tools.h"

namespace kivo {

CommandResult run_route(Env& env, const std::vector<std::string>& args) {
  return route_outcome(run_cmd(env, kRouteTool, args));
}

Status ensure_host_route(Env& env, const std::string& host, const std::string& gateway) {
  auto added = run_route(env, route_args::add_host(host, gateway));
  if (added) return {};
  if (!is_route_exists_error(added.error()))
    return fail("failed to add host route " + host + " via " + gateway + ": " + added.error());
  (void)run_route(env, route_args::delete_host(host, gateway));
  auto retried = run_route(env, route_args::add_host(host, gateway));
  if (!retried) return fail("failed to replace host route " + host + " via " + gateway + ": " + retried.error());
  return {};
}

Status ensure_default_half_route(Env& env, const std::string& dest, const std::string& iface) {
  auto added = run_route(env, route_args::add_net_interface(dest, iface));
  if (added) return {};
  if (!is_route_exists_error(added.error()))
    return fail("failed to add default half-route " + dest + " via " + iface + ": " + added.error());
  (void)run_route(env, route_args::delete_net_interface(dest, iface));
  // Without an interface, so that the same destination through another interface goes too.
  (void)run_route(env, route_args::delete_net(dest));
  auto retried = run_route(env, route_args::add_net_interface(dest, iface));
  if (!retried)
    return fail("failed to replace default half-route " + dest + " via " + iface + ": " + retried.error());
  return {};
}

Status refuse_special_address(std::string_view address) {
  auto parsed = parse_ip_address(address);
  if (parsed && is_special_address(*parsed))
    return fail("Refusing a loopback, multicast or reserved address: " + std::string(address));
  return {};
}

bool is_route_exists_error(std::string_view error) {
  std::string lower = to_lower_ascii(error);
  return contains(lower, "file exists") || contains(lower, "already exists");
}

bool is_route_missing_error(std::string_view error) {
  std::string lower = to_lower_ascii(error);
  return contains(lower, "not in table") || contains(lower, "not found") || contains(lower, "no such process");
}

}  // namespace kivo
