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

}  // namespace kivo
