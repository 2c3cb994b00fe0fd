// Routing helpers shared by the tunnel and the split engines.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/result.h"
#include "os/env.h"

namespace kivo {

// Installs the host route, replacing one of the same destination.
Status ensure_host_route(Env& env, const std::string& host, const std::string& gateway);
// Installs a half-default route on the interface, replacing one of the same destination.
Status ensure_default_half_route(Env& env, const std::string& dest, const std::string& iface);

// Refuses an address text naming loopback, "this network", multicast, reserved space or the
// broadcast address (is_special_address); other texts, parsable or not, pass.
Status refuse_special_address(std::string_view address);

bool is_route_exists_error(std::string_view error);
bool is_route_missing_error(std::string_view error);
// Whether an IPv4 address (host order) lies inside a route entry; unusable entries give false.
bool route_contains_ipv4(std::string_view entry, std::uint32_t address);

}  // namespace kivo
