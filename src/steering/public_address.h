// Which bypass route an excluded process's destination asks for. Pure.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/ip.h"

namespace kivo {

// The host route (the bare address text) for a public address; nothing for a non-public one or an
// IPv4 address that one of the static routes already covers. IPv6 is not checked against them.
std::optional<std::string> classify_packet_steering_candidate_route(const IpAddress& address,
                                                                    const std::vector<std::string>& static_routes);

}  // namespace kivo
