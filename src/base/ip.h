// Address text parsing, pure.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kivo {

// An IPv4 dotted quad or an IPv6 address text.
bool is_ip_address(std::string_view text);
// A strict dotted quad, as a 32-bit number in host order.
std::optional<std::uint32_t> parse_ipv4(std::string_view text);
std::string format_ipv4(std::uint32_t address);

}  // namespace kivo
