// The routes the packet steering engine has installed, read from its state file, so that split
// bypass leaves them in place when it restores.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "os/env.h"

namespace kivo {

inline constexpr const char* kPacketSteeringStatePath = "/var/run/com.kivovpn.helper.packet_steering.state.json";

// The union of the record's applied IPv4 and IPv6 bypass routes, or nothing when the text is not
// a packet steering record (a required field missing or mistyped). Pure.
std::optional<std::set<std::string>> parse_steering_applied_routes(std::string_view text);
// Empty when the state file is missing or does not read.
std::set<std::string> read_steering_applied_routes(Env& env);

}  // namespace kivo
