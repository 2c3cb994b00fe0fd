// networksetup's listings name the services and servers the helper later passes back to it.
#include <cstdlib>

#include "dns/network_services.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  for (const auto& service : kivo::parse_network_services(text)) {
    if (service.empty() || service.find('\n') != std::string::npos) std::abort();
  }
  if (auto servers = kivo::parse_dns_servers(text)) {
    for (const auto& server : *servers) {
      if (server.empty() || server.find('\n') != std::string::npos) std::abort();
    }
  }
  return 0;
}
