// Which remote addresses are public, and which bypass route an excluded process's destination
// asks for. Pure.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/ip.h"

namespace kivo {

// Not unspecified, loopback, private, link-local, multicast or broadcast (240/4 counts as public).
bool is_public_ipv4(std::uint32_t address);
// Not ::, ::1, fe80::/10, fc00::/7 or ff00::/8.
bool is_public_ipv6(const IpAddress& address);
bool is_public_address(const IpAddress& address);

// The host route (the bare address text) for a public address; nothing for a non-public one or an
// IPv4 address that one of the static routes already covers. IPv6 is not checked against them.
std::optional<std::string> classify_packet_steering_candidate_route(const IpAddress& address,
                                                                    const std::vector<std::string>& static_routes);

}  // namespace kivo
