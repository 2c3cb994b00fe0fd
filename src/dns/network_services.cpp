#include "dns/network_services.h"

#include "base/text.h"
#include "commands/command_runner.h"

namespace kivo {

std::vector<std::string> parse_network_services(std::string_view listing) {
  std::vector<std::string> services;
  for (std::string_view line : split_lines(listing)) {
    line = trim(line);
    // The header line, and disabled services, which are marked with a leading asterisk.
    if (line.empty() || starts_with(line, "An asterisk") || starts_with(line, "*")) continue;
    services.emplace_back(line);
  }
  return services;
}

DnsServers parse_dns_servers(std::string_view output) {
  std::string lowered = to_lower_ascii(output);
  if (contains(lowered, "there aren't any dns servers set on") || contains(lowered, "there are not any dns servers set on"))
    return std::nullopt;
  std::vector<std::string> servers;
  for (std::string_view line : split_lines(output)) {
    line = trim(line);
    if (!line.empty()) servers.emplace_back(line);
  }
  if (servers.empty()) return std::nullopt;
  return servers;
}

Result<std::vector<std::string>> list_network_services(Env& env) {
  auto listing = run_cmd(env, kNetworksetupTool, {"-listallnetworkservices"});
  if (!listing) return fail("Failed to enumerate network services: " + listing.error());
  return parse_network_services(*listing);
}

Result<DnsServers> get_service_dns_servers(Env& env, const std::string& service) {
  auto output = run_cmd(env, kNetworksetupTool, {"-getdnsservers", service});
  if (!output) return fail("Failed to read DNS servers for '" + service + "': " + output.error());
  return parse_dns_servers(*output);
}

Status set_service_dns_servers(Env& env, const std::string& service, const std::vector<std::string>& servers) {
  std::vector<std::string> args{"-setdnsservers", service};
  if (servers.empty()) args.emplace_back("Empty");
  args.insert(args.end(), servers.begin(), servers.end());
  if (auto set = run_cmd_owned(env, kNetworksetupTool, std::move(args)); !set)
    return fail("Failed setting DNS for '" + service + "': " + set.error());
  return {};
}

Result<bool> dns_servers_match(Env& env, const std::string& service, const std::string& expected) {
  KIVO_TRY(servers, get_service_dns_servers(env, service));
  return servers && servers->size() == 1 && servers->front() == expected;
}

bool is_missing_network_service_error(std::string_view error) {
  std::string lowered = to_lower_ascii(error);
  return contains(lowered, "is not a recognized network service") || contains(lowered, "could not find service") ||
         contains(lowered, "does not exist");
}

}  // namespace kivo
