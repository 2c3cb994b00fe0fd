// Feeds arbitrary bytes to the lsof reader: it must never crash, keeps only public addresses in
// canonical form, and never counts a tunnel flow (lsof names no interface).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "steering/flow_parsers.h"
#include "steering/public_address.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto s = kivo::parse_lsof_flows(text, {"17.0.0.0/8"});
  for (const auto* set : {&s.observed_public_destinations_ipv4, &s.observed_public_destinations_ipv6})
    for (const auto& entry : *set) {
      auto address = kivo::parse_ip_address(entry);
      if (!address || address->text() != entry || !kivo::is_public_address(*address)) std::abort();
    }
  if (s.tunnel_excluded_flows_ipv4 || s.tunnel_excluded_flows_ipv6 || !s.tunnel_destinations_ipv4.empty() ||
      !s.tunnel_destinations_ipv6.empty())
    std::abort();
  if (s.candidate_routes_ipv4.size() > s.observed_public_destinations_ipv4.size()) std::abort();
  return 0;
}
