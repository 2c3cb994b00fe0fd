// The command forms of the system's routing and packet-filter tools, built in one place so that
// every caller speaks them alike.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "os/env.h"

namespace kivo {

inline constexpr const char* kRouteTool = "route";
inline constexpr const char* kPfctlTool = "pfctl";
inline constexpr const char* kIfconfigTool = "ifconfig";

using Args = std::vector<std::string>;

namespace route_args {
Args get_default();                                   // -n get default
Args get_default_inet6();                             // -n get -inet6 default
Args add_host(const std::string& host, const std::string& gateway);
Args delete_host(const std::string& host, const std::string& gateway);
Args add_net_interface(const std::string& route, const std::string& iface);
Args delete_net_interface(const std::string& route, const std::string& iface);
Args delete_net(const std::string& route);
// -n add|delete [-inet6] -host|-net ROUTE GATEWAY
Args numeric_add(const std::string& route, const std::string& gateway, bool is_host, bool inet6 = false);
Args numeric_delete(const std::string& route, const std::string& gateway, bool is_host, bool inet6 = false);
// -n get [-inet6] TARGET
Args get(const std::string& target, bool inet6 = false);
}  // namespace route_args

// The next hop of `route -n get`: the second word of the first line that, trimmed, begins with
// "gateway:" ("" when that line has no second word). Pure.
std::optional<std::string> parse_route_gateway(std::string_view output);

// Apple's route reports a failed add, delete or get on standard error ("route: writing to
// routing socket: File exists") and still exits 0. A run whose text carries that line failed,
// whatever its exit status, and the line is its error text; any other outcome stands. Pure.
CommandResult route_outcome(CommandResult result);

namespace pfctl_args {
Args info();                                                  // -s info
Args load(const std::string& anchor, const std::string& file);  // -a ANCHOR -f FILE
Args enable();                                                // -E
Args release(const std::string& token);                       // -X TOKEN
Args flush(const std::string& anchor);                        // -a ANCHOR -F all
Args show(const std::string& anchor, const std::string& kind);  // -a ANCHOR -s rules|nat
Args kill_states(const std::string& host, bool inet6);        // -k 0.0.0.0/0|::/0 -k HOST
}  // namespace pfctl_args

}  // namespace kivo
