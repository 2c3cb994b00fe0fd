// The records kivo-ne-manager reads from standard input and writes as its answer, and the
// texts of its errors.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace kivo::nem {

inline constexpr std::uint64_t kDefaultMtu = 1280;
inline constexpr std::uint64_t kDefaultKeepaliveSeconds = 25;

struct ConnectPayload {
  std::string private_key;
  std::string address;
  std::string dns;
  std::string peer_public_key;
  std::string peer_endpoint;
  std::string allowed_ips;
  std::optional<std::uint64_t> mtu;
  std::optional<std::uint64_t> keepalive_seconds;
  std::vector<std::string> excluded_apps;
};

struct AppRulePayload {
  std::vector<std::string> excluded_apps;
};

struct StatusPayload {
  bool configured = false;
  bool connected = false;
  bool connecting = false;
  bool disconnecting = false;
  std::string status = "invalid";
  bool per_app_mode = false;
  std::uint64_t app_rule_count = 0;
  bool operator==(const StatusPayload&) const = default;
};

// The answer of every command: a status, or the error's description.
using Outcome = Result<StatusPayload>;

// The cases of the program's errors; the description is the message (fixed for managerMissing).
namespace manager_error {
inline Error invalid_command(std::string message) { return fail(std::move(message)); }
inline Error invalid_input(std::string message) { return fail(std::move(message)); }
inline Error network_extension(std::string message) { return fail(std::move(message)); }
inline Error codesign(std::string message) { return fail(std::move(message)); }
inline Error timed_out() { return fail("Timed out waiting for Network Extension manager response."); }
inline Error manager_missing() { return fail("Kivo VPN packet tunnel manager is not configured."); }
}  // namespace manager_error

// Decoding: unknown keys are ignored; mtu and keepaliveSeconds may be absent or null.
Result<ConnectPayload> decode_connect_payload(std::string_view json);
Result<AppRulePayload> decode_app_rule_payload(std::string_view json);

// Compact, keys in declaration order, "/" left as it is.
std::string encode_status(const StatusPayload& status);
// {"error":"…"} the way the platform's JSON serialiser writes it: every "/" escaped.
std::string encode_failure(std::string_view description);

}  // namespace kivo::nem
