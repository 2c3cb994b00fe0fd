// What the split engines read from `lsof`, and how they bound their last-seen maps. Pure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "base/ip.h"

namespace kivo {

// The remote address of one `lsof -n -P -i` line: the first word after "->", its port and any
// zone suffix cut off, an IPv4-mapped address read as its IPv4 one; nothing when the line names
// no connection.
std::optional<IpAddress> extract_remote_ip_from_lsof_line(std::string_view line);

// Keeps the `limit` most recently seen entries; among equal times the smaller keys stay.
void trim_last_seen_map_to_limit(std::map<std::string, std::uint64_t>& last_seen, std::size_t limit);

}  // namespace kivo
