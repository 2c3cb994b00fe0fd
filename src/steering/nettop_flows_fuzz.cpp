// Feeds arbitrary bytes to the nettop reader: it must never crash, and whatever it keeps must be
// a public address in canonical form, counted at least once.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "steering/flow_parsers.h"
#include "steering/public_address.h"

namespace {

void check_addresses(const std::set<std::string>& texts, bool v6) {
  for (const auto& text : texts) {
    auto address = kivo::parse_ip_address(text);
    if (!address || address->v6 != v6 || address->text() != text || !kivo::is_public_address(*address)) std::abort();
  }
}

bool subset(const std::set<std::string>& part, const std::set<std::string>& whole) {
  for (const auto& item : part)
    if (!whole.count(item)) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto s = kivo::parse_nettop_flows(text, {1, 12, 4711}, {"17.0.0.0/8", "8.8.8.8"});
  check_addresses(s.observed_public_destinations_ipv4, false);
  check_addresses(s.observed_public_destinations_ipv6, true);
  if (!subset(s.candidate_routes_ipv4, s.observed_public_destinations_ipv4) ||
      !subset(s.candidate_routes_ipv6, s.observed_public_destinations_ipv6) ||
      !subset(s.tunnel_destinations_ipv4, s.observed_public_destinations_ipv4) ||
      !subset(s.tunnel_destinations_ipv6, s.observed_public_destinations_ipv6))
    std::abort();
  if (s.active_excluded_flows_ipv4 < s.observed_public_destinations_ipv4.size() ||
      s.active_excluded_flows_ipv6 < s.observed_public_destinations_ipv6.size() ||
      s.tunnel_excluded_flows_ipv4 > s.active_excluded_flows_ipv4 ||
      s.tunnel_excluded_flows_ipv6 > s.active_excluded_flows_ipv6)
    std::abort();
  (void)kivo::parse_nettop_remote_address(text);
  return 0;
}
