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

}  // namespace kivo
