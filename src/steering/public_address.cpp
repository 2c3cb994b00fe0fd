#include "steering/public_address.h"

#include "base/ip.h"

namespace kivo {

std::optional<std::string> classify_packet_steering_candidate_route(const IpAddress& address,
                                                                    const std::vector<std::string>& static_routes) {
  if (!is_public_address(address)) return std::nullopt;
  if (!address.v6)
    for (const auto& route : static_routes)
      if (route_contains_ipv4(route, address.ipv4())) return std::nullopt;
  return address.text();
}

}  // namespace kivo
