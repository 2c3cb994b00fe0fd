// Readers of the flow monitors' output: `nettop -L 1` CSV and `lsof -i` lines, reduced to the
// public destinations of the excluded processes. Pure: no I/O, safe for any input.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/ip.h"
#include "steering/steering_state.h"

namespace kivo {

// Comma-separated fields; a double quote toggles quoting and is dropped, a doubled one inside
// quotes is kept as one, and quoted commas do not split.
std::vector<std::string> split_nettop_csv_line(std::string_view line);

// The address of a flow's remote end as nettop prints it: "17.1.2.3:443", "[2001:db8::1]:443",
// "2606:4700::6810:85e5.443", "fe80::1%en0.443"; "::ffff:17.1.2.3.443" is the IPv4 address it
// carries. Nothing when no address can be read.
std::optional<IpAddress> parse_nettop_remote_address(std::string_view remote_end);

// Flows under the process rows of `pids` only; observer "nettop".
PacketSteeringObservationSnapshot parse_nettop_flows(std::string_view output, const std::set<std::uint32_t>& pids,
                                                     const std::vector<std::string>& static_routes);
// lsof names no interface, so no flow counts as a tunnel flow; observer "lsof".
PacketSteeringObservationSnapshot parse_lsof_flows(std::string_view output,
                                                   const std::vector<std::string>& static_routes);

}  // namespace kivo
