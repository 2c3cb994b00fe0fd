#include "base/ip.h"

#include <arpa/inet.h>

#include <algorithm>
#include <iterator>

#include "base/text.h"

namespace kivo {

// inet_pton stops at a NUL; a text that carries one is not an address.
bool is_ip_address(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) return false;
  std::string s(text);
  unsigned char buf[16];
  return inet_pton(AF_INET, s.c_str(), buf) == 1 || inet_pton(AF_INET6, s.c_str(), buf) == 1;
}

std::optional<std::uint32_t> parse_ipv4(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  std::string s(text);
  in_addr addr{};
  if (inet_pton(AF_INET, s.c_str(), &addr) != 1) return std::nullopt;
  return ntohl(addr.s_addr);
}

std::string format_ipv4(std::uint32_t address) {
  return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
         std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

std::optional<IpAddress> parse_ip_address(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  std::string s(text);
  IpAddress address;
  if (inet_pton(AF_INET, s.c_str(), address.bytes.data()) == 1) return address;
  address.v6 = true;
  if (inet_pton(AF_INET6, s.c_str(), address.bytes.data()) == 1) return address;
  return std::nullopt;
}

IpAddress without_ipv4_mapping(const IpAddress& address) {
  static constexpr std::uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  if (!address.v6 || !std::equal(std::begin(kMappedPrefix), std::end(kMappedPrefix), address.bytes.begin()))
    return address;
  IpAddress ipv4;
  std::copy(address.bytes.begin() + 12, address.bytes.end(), ipv4.bytes.begin());
  return ipv4;
}

std::uint32_t IpAddress::ipv4() const {
  return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) | (std::uint32_t{bytes[2]} << 8) | bytes[3];
}

std::string IpAddress::text() const {
  char buf[INET6_ADDRSTRLEN] = {};
  inet_ntop(v6 ? AF_INET6 : AF_INET, bytes.data(), buf, sizeof buf);
  return buf;
}

bool is_public_ipv4(std::uint32_t address) {
  struct Block {
    std::uint32_t network;
    int prefix;
  };
  static constexpr Block kNotPublic[] = {{0x00000000, 32}, {0x7F000000, 8},  {0x0A000000, 8}, {0xAC100000, 12},
                                         {0xC0A80000, 16}, {0xA9FE0000, 16}, {0xE0000000, 4}, {0xFFFFFFFF, 32}};
  for (const Block& b : kNotPublic) {
    std::uint32_t mask = ~std::uint32_t{0} << (32 - b.prefix);
    if ((address & mask) == b.network) return false;
  }
  return true;
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

std::uint32_t prefix_mask(std::uint8_t prefix) {
  if (prefix == 0) return 0;
  if (prefix >= 32) return 0xFFFFFFFFu;
  return ~std::uint32_t{0} << (32 - prefix);
}

Result<Ipv4Route> parse_ipv4_route(std::string_view entry) {
  std::string_view text = trim(entry);
  std::string quoted = "'" + std::string(text) + "'";
  if (text.empty()) return fail("Split route entry cannot be empty");

  auto slash = text.find('/');
  if (slash == std::string_view::npos) {
    auto address = parse_ipv4(text);
    if (!address) return fail("Invalid IPv4 host route " + quoted);
    return Ipv4Route{*address, 32, true};
  }
  std::string_view prefix_text = text.substr(slash + 1);
  if (prefix_text.find('/') != std::string_view::npos) return fail("Invalid CIDR route " + quoted);
  auto address = parse_ipv4(text.substr(0, slash));
  if (!address) return fail("Invalid IPv4 CIDR address " + quoted);
  auto prefix = parse_u8(prefix_text);
  if (!prefix) return fail("Invalid CIDR prefix " + quoted);
  if (*prefix > 32) return fail("CIDR prefix out of range in " + quoted);
  return Ipv4Route{*address & prefix_mask(*prefix), *prefix, false};
}

bool route_contains_ipv4(std::string_view entry, std::uint32_t address) {
  auto parsed = parse_ipv4_route(entry);
  if (!parsed) return false;
  std::uint32_t mask = prefix_mask(parsed->prefix);
  return ((parsed->network ^ address) & mask) == 0;
}

bool is_special_ipv4(std::uint32_t address) {
  std::uint8_t first = static_cast<std::uint8_t>(address >> 24);
  return first == 0 || first == 127 || first >= 224;
}

bool is_special_address(const IpAddress& address) {
  if (!address.v6) return is_special_ipv4(address.ipv4());
  const auto& b = address.bytes;
  bool all_zero_but_last = true;
  for (int i = 0; i < 15; ++i) all_zero_but_last = all_zero_but_last && b[i] == 0;
  return (all_zero_but_last && b[15] <= 1) || b[0] == 0xFF;
}

}  // namespace kivo
