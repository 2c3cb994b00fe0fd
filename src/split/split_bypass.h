// Static bypass routes: chosen IPv4 destinations routed through the physical gateway, recorded
// so that exactly those routes can be removed again, also after a crash.
#pragma once

#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/result.h"
#include "os/env.h"

namespace kivo {

inline constexpr const char* kSplitStatePath = "/var/run/com.kivovpn.helper.split.state.json";

struct NormalizedRoute {
  std::string route;
  bool is_host = false;
  bool operator==(const NormalizedRoute&) const = default;
};

struct HelperSplitBypassState {
  std::vector<std::string> routes;
  std::string gateway;
  std::uint64_t updated_at = 0;
  bool operator==(const HelperSplitBypassState&) const = default;
};

// A parsed IPv4 route entry; a host entry has prefix 32. The network is in host order, masked.
struct Ipv4Route {
  std::uint32_t network = 0;
  std::uint8_t prefix = 32;
  bool is_host = true;
};

// The normaliser's parse with its messages, but without the refusal of /0, which is a rule of
// split bypass and not of route containment. Pure.
Result<Ipv4Route> parse_ipv4_route(std::string_view entry);
// The top `prefix` bits set; no bits for prefix 0.
std::uint32_t prefix_mask(std::uint8_t prefix);

// The one normaliser of IPv4 route entries. Pure.
Result<NormalizedRoute> normalize_split_route(std::string_view entry);

Status add_split_route(Env& env, const std::string& route, const std::string& gateway, bool is_host);
Status delete_split_route(Env& env, const std::string& route, const std::string& gateway, bool is_host);
bool verify_split_route_gateway(Env& env, const std::string& route, bool is_host, const std::string& gateway);

std::string encode_split_state(const HelperSplitBypassState& state);
Result<HelperSplitBypassState> decode_split_state(std::string_view text);
Result<HelperSplitBypassState> read_split_state(Env& env);
void clear_split_state(Env& env);

// Apply, restore and verify hold one lock, so a restore never interleaves with an apply's record.
class SplitBypass {
 public:
  explicit SplitBypass(Env& env) : env_(env) {}

  Result<std::uint64_t> apply_split_bypass(const std::vector<std::string>& routes, const std::string& gateway);
  Result<std::uint64_t> restore_split_bypass();
  std::pair<bool, std::uint64_t> verify_split_bypass();
  std::set<std::string> split_bypass_owned_route_set();

 private:
  Result<std::uint64_t> restore_locked();
  Env& env_;
  std::mutex mu_;
};

}  // namespace kivo
