#include "steering/public_address.h"

#include "tunnel/route_helpers.h"

namespace kivo {
namespace {

bool in_network(std::uint32_t address, std::uint32_t network, int prefix) {
  std::uint32_t mask = prefix == 0 ? 0 : ~std::uint32_t{0} << (32 - prefix);
  return (address & mask) == network;
}

}  // namespace

bool is_public_ipv4(std::uint32_t a) {
  return a != 0 && !in_network(a, 0x7F000000, 8) && !in_network(a, 0x0A000000, 8) &&
         !in_network(a, 0xAC100000, 12) && !in_network(a, 0xC0A80000, 16) && !in_network(a, 0xA9FE0000, 16) &&
         !in_network(a, 0xE0000000, 4) && a != 0xFFFFFFFF;
}

bool is_public_ipv6(const IpAddress& address) {
  const auto& b = address.bytes;
  bool all_zero_but_last = true;
  for (int i = 0; i < 15; ++i) all_zero_but_last = all_zero_but_last && b[i] == 0;
  if (all_zero_but_last && (b[15] == 0 || b[15] == 1)) return false;  // :: and ::1
  if (b[0] == 0xFE && (b[1] & 0xC0) == 0x80) return false;             // fe80::/10
  if ((b[0] & 0xFE) == 0xFC) return false;                             // fc00::/7
  return b[0] != 0xFF;                                                 // ff00::/8
}

bool is_public_address(const IpAddress& address) {
  return address.v6 ? is_public_ipv6(address) : is_public_ipv4(address.ipv4());
}

std::optional<std::string> classify_packet_steering_candidate_route(const IpAddress& address,
                                                                    const std::vector<std::string>& static_routes) {
  if (!is_public_address(address)) return std::nullopt;
  if (!address.v6)
    for (const auto& route : static_routes)
      if (route_contains_ipv4(route, address.ipv4())) return std::nullopt;
  return address.text();
}

}  // namespace kivo
