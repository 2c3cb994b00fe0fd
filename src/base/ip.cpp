#include "base/ip.h"

#include <arpa/inet.h>

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
