// Static bypass routes: chosen IPv4 destinations routed through the physical gateway, recorded
// so that exactly those routes can be removed again, also after a crash.
#pragma once

#include <cstdint>
#include <functional>
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

  // Routes another feature relies on, which a restore leaves in place even when split bypass
  // recorded them too. Set once, before any request runs; the source takes no lock of its own
  // feature, since a steering pass asks this feature for its routes under the steering lock.
  using ShieldedRoutes = std::function<std::set<std::string>()>;
  void shield_routes(ShieldedRoutes source) { shielded_routes_ = std::move(source); }

  Result<std::uint64_t> apply_split_bypass(const std::vector<std::string>& routes, const std::string& gateway);
  Result<std::uint64_t> restore_split_bypass();
  std::pair<bool, std::uint64_t> verify_split_bypass();
  std::set<std::string> split_bypass_owned_route_set();

 private:
  Result<std::uint64_t> restore_locked();
  Env& env_;
  ShieldedRoutes shielded_routes_;
  std::mutex mu_;
};

}  // namespace kivo
