#include "steering/flow_parsers.h"

#include "base/text.h"
#include "split/lsof_peers.h"
#include "steering/public_address.h"

namespace kivo {
namespace {

std::string_view without_trailing_cr(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

std::optional<IpAddress> parse_before_zone(std::string_view text) {
  auto address = parse_ip_address(text.substr(0, text.find('%')));
  if (!address) return std::nullopt;
  return without_ipv4_mapping(*address);
}

void add_flow(PacketSteeringObservationSnapshot& snapshot, const IpAddress& address, bool through_tunnel,
              const std::vector<std::string>& static_routes) {
  if (!is_public_address(address)) return;
  std::string text = address.text();
  auto& observed = address.v6 ? snapshot.observed_public_destinations_ipv6 : snapshot.observed_public_destinations_ipv4;
  auto& candidates = address.v6 ? snapshot.candidate_routes_ipv6 : snapshot.candidate_routes_ipv4;
  auto& active = address.v6 ? snapshot.active_excluded_flows_ipv6 : snapshot.active_excluded_flows_ipv4;
  if (through_tunnel) {
    (address.v6 ? snapshot.tunnel_destinations_ipv6 : snapshot.tunnel_destinations_ipv4).insert(text);
    ++(address.v6 ? snapshot.tunnel_excluded_flows_ipv6 : snapshot.tunnel_excluded_flows_ipv4);
  }
  if (auto route = classify_packet_steering_candidate_route(address, static_routes)) candidates.insert(*route);
  observed.insert(std::move(text));
  ++active;
}

// "firefox.4711" -> 4711; nothing when the row names no usable PID.
std::optional<std::uint32_t> process_row_pid(std::string_view name) {
  std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return std::nullopt;
  auto pid = parse_unsigned(name.substr(dot + 1), UINT32_MAX);
  if (!pid) return std::nullopt;
  return static_cast<std::uint32_t>(*pid);
}

}  // namespace

std::vector<std::string> split_nettop_csv_line(std::string_view line) {
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (c == '"') {
      if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
        fields.back() += '"';
        ++i;
      } else {
        quoted = !quoted;
      }
    } else if (c == ',' && !quoted) {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  return fields;
}

std::optional<IpAddress> parse_nettop_remote_address(std::string_view remote) {
  // Bracketed, or a bare address with a zone suffix: "[2001:db8::1]:443", "fe80::1%en0.443".
  std::string_view bracketed = remote.substr(std::min(remote.find_first_not_of('['), remote.size()));
  if (auto address = parse_before_zone(bracketed.substr(0, bracketed.find(']')))) return address;
  // "a.b.c.d:port". When the text after the last ":" holds a ".", that ":" is inside an IPv6
  // address whose port follows a "." ("2606:4700::6810:85e5.443"): cutting there would name
  // another host.
  if (std::size_t colon = remote.rfind(':');
      colon != std::string_view::npos && remote.substr(colon + 1).find('.') == std::string_view::npos)
    if (auto address = parse_before_zone(remote.substr(0, colon))) return address;
  if (std::size_t dot = remote.rfind('.'); dot != std::string_view::npos)
    if (auto address = parse_before_zone(remote.substr(0, dot))) return address;
  return std::nullopt;
}

PacketSteeringObservationSnapshot parse_nettop_flows(std::string_view output, const std::set<std::uint32_t>& pids,
                                                     const std::vector<std::string>& static_routes) {
  PacketSteeringObservationSnapshot snapshot;
  snapshot.observer = "nettop";
  std::optional<std::uint32_t> current;
  for (std::string_view line : split_lines(output)) {
    line = without_trailing_cr(line);
    if (starts_with(line, "time,")) continue;
    auto fields = split_nettop_csv_line(line);
    if (fields.size() < 2) continue;
    std::string_view flow = trim(fields[1]);
    std::string_view iface = fields.size() > 2 ? trim(fields[2]) : std::string_view();
    if (flow.empty()) continue;

    std::size_t arrow = flow.find("<->");
    if (arrow == std::string_view::npos) {
      current = process_row_pid(flow);
      continue;
    }
    if (!current || !pids.count(*current)) continue;
    std::string_view remote = flow.substr(arrow + 3);
    remote = trim(remote.substr(0, remote.find("<->")));
    if (remote.empty() || remote.front() == '*') continue;
    if (auto address = parse_nettop_remote_address(remote))
      add_flow(snapshot, *address, starts_with(iface, "utun"), static_routes);
  }
  return snapshot;
}

PacketSteeringObservationSnapshot parse_lsof_flows(std::string_view output,
                                                   const std::vector<std::string>& static_routes) {
  PacketSteeringObservationSnapshot snapshot;
  snapshot.observer = "lsof";
  for (std::string_view line : split_lines(output))
    if (auto address = extract_remote_ip_from_lsof_line(without_trailing_cr(line)))
      add_flow(snapshot, *address, false, static_routes);
  return snapshot;
}

}  // namespace kivo
