// Routing helpers shared by the tunnel and the split engines.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "os/env.h"

namespace kivo {

// Runs `route` with these arguments and reads its outcome as route_outcome does.
CommandResult run_route(Env& env, const std::vector<std::string>& args);

// Installs the host route, replacing one of the same destination.
Status ensure_host_route(Env& env, const std::string& host, const std::string& gateway);
// Installs a half-default route on the interface, replacing one of the same destination.
Status ensure_default_half_route(Env& env, const std::string& dest, const std::string& iface);

// Refuses an address text naming loopback, "this network", multicast, reserved space or the
// broadcast address (is_special_address); other texts, parsable or not, pass.
Status refuse_special_address(std::string_view address);

bool is_route_exists_error(std::string_view error);
bool is_route_missing_error(std::string_view error);

}  // namespace kivo
