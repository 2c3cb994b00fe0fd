// Feeds arbitrary bytes as lsof output to the custom split engine's observation. Each network it
// returns becomes a route through the physical gateway, so it must be a public /24 in normal
// form that no static route covers, and there are never more than the cap.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/ip.h"
#include "split/custom_split_reconcile.h"
#include "split/lsof_peers.h"
#include "split/split_bypass.h"
#include "tunnel/route_helpers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  static const std::vector<std::string> kStaticRoutes{"17.0.0.0/8", "1.1.1.1", "8.8.8.0/24"};
  auto observed = kivo::observed_peer_networks(text, kStaticRoutes);
  if (observed.size() > kivo::kObservationCap) std::abort();
  for (const auto& network : observed) {
    auto normal = kivo::normalize_split_route(network);
    if (!normal.ok() || normal->route != network || normal->is_host) std::abort();
    auto route = kivo::parse_ipv4_route(network);
    if (!route.ok() || route->prefix != 24) std::abort();
    std::uint32_t address = route->network;
    for (const auto& covered : kStaticRoutes)
      if (kivo::route_contains_ipv4(covered, address)) std::abort();
    // Only the exact address 0.0.0.0 and broadcast are singled out, so 0.0.0.0/24 and
    // 255.255.255.0/24 can be seen; the blocks below never.
    for (auto [block, prefix] : {std::pair<std::uint32_t, int>{0x7F000000, 8}, {0x0A000000, 8}, {0xAC100000, 12},
                                 {0xC0A80000, 16}, {0xA9FE0000, 16}, {0xE0000000, 4}})
      if ((address & kivo::prefix_mask(prefix)) == block) std::abort();
  }
  if (auto peer = kivo::extract_remote_ip_from_lsof_line(text); peer && text.find("->") == std::string_view::npos)
    std::abort();
  return 0;
}
