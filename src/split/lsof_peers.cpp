#include "split/lsof_peers.h"

#include <algorithm>
#include <vector>

#include "base/text.h"

namespace kivo {

std::optional<IpAddress> extract_remote_ip_from_lsof_line(std::string_view line) {
  std::size_t arrow = line.find("->");
  if (arrow == std::string_view::npos) return std::nullopt;
  auto words = split_whitespace(line.substr(arrow + 2));
  if (words.empty()) return std::nullopt;
  std::string_view host = words.front();
  if (starts_with(host, "[")) {
    host.remove_prefix(std::min(host.find_first_not_of('['), host.size()));
    host = host.substr(0, host.find(']'));
  } else if (std::size_t colon = host.rfind(':'); colon != std::string_view::npos) {
    host = host.substr(0, colon);
  }
  auto address = parse_ip_address(host.substr(0, host.find('%')));
  if (!address) return std::nullopt;
  return without_ipv4_mapping(*address);
}

void trim_last_seen_map_to_limit(std::map<std::string, std::uint64_t>& last_seen, std::size_t limit) {
  if (last_seen.size() <= limit) return;
  std::vector<std::pair<std::string, std::uint64_t>> entries(last_seen.begin(), last_seen.end());
  // The map iterates in key order, so a stable sort by time alone breaks ties by key.
  std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
  entries.resize(limit);
  last_seen = std::map<std::string, std::uint64_t>(entries.begin(), entries.end());
}

}  // namespace kivo
