// Address and route-entry text parsing, pure.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"

namespace kivo {

// An IPv4 dotted quad or an IPv6 address text.
bool is_ip_address(std::string_view text);
// A strict dotted quad, as a 32-bit number in host order.
std::optional<std::uint32_t> parse_ipv4(std::string_view text);
std::string format_ipv4(std::uint32_t address);

// A parsed IPv4 or IPv6 address; IPv4 keeps its four bytes at the front.
struct IpAddress {
  bool v6 = false;
  std::array<std::uint8_t, 16> bytes{};
  // Host-order value of an IPv4 address.
  std::uint32_t ipv4() const;
  // The canonical text (inet_ntop's form).
  std::string text() const;
  bool operator==(const IpAddress&) const = default;
};
std::optional<IpAddress> parse_ip_address(std::string_view text);
// A dual-stack socket shows its IPv4 peer as an IPv4-mapped IPv6 address (::ffff:17.253.144.10):
// that is the IPv4 address it carries. Any other address stays as it is.
IpAddress without_ipv4_mapping(const IpAddress& address);

// Addresses a bypass route is worth making for. IPv4: not unspecified, loopback, private,
// link-local, multicast or broadcast (240/4 counts as public). IPv6: not ::, ::1, fe80::/10,
// fc00::/7 or ff00::/8.
bool is_public_ipv4(std::uint32_t address);
bool is_public_ipv6(const IpAddress& address);
bool is_public_address(const IpAddress& address);

// A parsed IPv4 route entry; a host entry has prefix 32. The network is in host order, masked.
struct Ipv4Route {
  std::uint32_t network = 0;
  std::uint8_t prefix = 32;
  bool is_host = true;
};

// The split bypass normaliser's parse with its messages, but without its refusal of /0, which is a
// rule of split bypass and not of route containment.
Result<Ipv4Route> parse_ipv4_route(std::string_view entry);
// The top `prefix` bits set; no bits for prefix 0.
std::uint32_t prefix_mask(std::uint8_t prefix);
// Whether an IPv4 address (host order) lies inside a route entry; unusable entries give false.
bool route_contains_ipv4(std::string_view entry, std::uint32_t address);

// Addresses no route, tunnel server or gateway of the helper may name: "this network" 0/8,
// loopback 127/8, multicast 224/4, reserved 240/4 (the broadcast address included); IPv6 ::,
// ::1 and ff00::/8. Routing one of them elsewhere breaks the machine itself, not a path out.
bool is_special_ipv4(std::uint32_t address);
bool is_special_address(const IpAddress& address);

}  // namespace kivo
