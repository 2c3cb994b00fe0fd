// The system VPN profile of Kivo's packet-tunnel provider: finding, configuring, saving,
// starting, stopping and reporting it, and replacing its per-application rules.
// Every operation ends by calling its completion exactly once.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kivo_ne_manager/app_rules.h"
#include "kivo_ne_manager/network_extension.h"
#include "kivo_ne_manager/payloads.h"
#include "kivo_ne_manager/system.h"

namespace kivo::nem {

inline constexpr const char* kProviderBundleIdentifier = "com.brevandi.kivovpn.desktop.tunnel";
inline constexpr const char* kProfileName = "Kivo VPN";
inline constexpr std::chrono::milliseconds kRestartDelay{1000};

using Completion = std::function<void(Outcome)>;

std::optional<std::string> endpoint_host(std::string_view endpoint);
StatusPayload status_payload(TunnelProviderManager& manager);
StatusPayload not_configured_status();

class TunnelProfiles {
 public:
  TunnelProfiles(NetworkExtension& ne, AppRuleBuilder& rules, System& system)
      : ne_(ne), rules_(rules), system_(system) {}

  // When nobody waits for the answer any more; a connect past it removes no profile.
  void set_deadline(std::chrono::steady_clock::time_point deadline) { deadline_ = deadline; }

  void connect(ConnectPayload payload, Completion done);
  void disconnect(Completion done);
  void status(Completion done);
  void update_app_rules(AppRulePayload payload, Completion done);

  void load_all_managers(ManagersLoaded done);
  Status configure(TunnelProviderManager& manager, const ConnectPayload& payload, bool per_app);
  void save(ManagerRef manager, std::function<void(Result<ManagerRef>)> done);
  void remove_managers(std::vector<ManagerRef> managers, Done done);
  void start(ManagerRef manager, Completion done);

 private:
  NetworkExtension& ne_;
  AppRuleBuilder& rules_;
  System& system_;
  std::chrono::steady_clock::time_point deadline_ = std::chrono::steady_clock::time_point::max();
};

}  // namespace kivo::nem
