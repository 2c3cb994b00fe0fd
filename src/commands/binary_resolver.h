// Locating the WireGuard programs that ship with the desktop application.
#pragma once

#include <string>
#include <vector>

#include "base/result.h"
#include "os/env.h"

namespace kivo {

inline constexpr const char* kPrivilegedHelperTools = "/Library/PrivilegedHelperTools";
inline constexpr const char* kAppResources = "/Applications/Kivo VPN.app/Contents/Resources";
inline constexpr const char* kInstalledHelper = "/Library/PrivilegedHelperTools/com.kivovpn.helper";

// The install locations tried for a program, in order.
std::vector<std::string> binary_candidates(Env& env, const std::string& name);
// The first candidate that exists, or "Missing privileged binary '{name}'".
Result<std::string> resolve_binary_path(Env& env, const std::string& name);

}  // namespace kivo
