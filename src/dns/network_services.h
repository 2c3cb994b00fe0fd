// The DNS servers of the system's network services, read and written through networksetup.
// Nothing here keeps state; server texts are passed on exactly as the tool prints them.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "os/env.h"

namespace kivo {

inline constexpr const char* kNetworksetupTool = "networksetup";

// None: the service takes its DNS servers automatically.
using DnsServers = std::optional<std::vector<std::string>>;

// Pure parsers of networksetup output.
// The enabled services of -listallnetworkservices, in order, duplicates kept.
std::vector<std::string> parse_network_services(std::string_view listing);
// The servers of -getdnsservers; none for the tool's "no servers set" answer or no lines.
DnsServers parse_dns_servers(std::string_view output);

// An empty list is an error for the caller to word: nothing enabled to configure.
Result<std::vector<std::string>> list_network_services(Env& env);
Result<DnsServers> get_service_dns_servers(Env& env, const std::string& service);
// An empty list hands the service back to its automatic servers.
Status set_service_dns_servers(Env& env, const std::string& service, const std::vector<std::string>& servers);
// Whether the service uses exactly the one server `expected`.
Result<bool> dns_servers_match(Env& env, const std::string& service, const std::string& expected);
// networksetup's ways of saying the service is gone.
bool is_missing_network_service_error(std::string_view error);

}  // namespace kivo
