// The few Network Extension calls kivo-ne-manager makes, one-to-one with the framework: macOS
// implements them over NetworkExtension.framework, Linux over a stand-in with a real tunnel.
// Completions are called exactly once, on any thread; a failure carries the framework's
// localised description.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "base/result.h"

namespace kivo::nem {

// NEVPNStatus raw values; a connection may report others.
enum VpnStatus : int {
  kVpnInvalid = 0,
  kVpnDisconnected = 1,
  kVpnConnecting = 2,
  kVpnConnected = 3,
  kVpnReasserting = 4,
  kVpnDisconnecting = 5,
};

// NEAppRule: initWithSigningIdentifier:designatedRequirement: plus matchPath.
struct AppRule {
  std::string signing_identifier;
  std::string designated_requirement;
  std::string match_path;
  bool operator==(const AppRule&) const = default;
};

// A providerConfiguration value: NSString or NSNumber (integer).
using ConfigValue = std::variant<std::string, std::int64_t>;
using ProviderConfiguration = std::map<std::string, ConfigValue>;

// NETunnelProviderProtocol, with the properties this program sets.
struct TunnelProviderProtocol {
  std::string provider_bundle_identifier;
  std::string server_address;
  bool disconnect_on_sleep = false;
  bool include_all_networks = false;
  bool exclude_local_networks = false;
  ProviderConfiguration provider_configuration;
  bool operator==(const TunnelProviderProtocol&) const = default;
};

using Done = std::function<void(Status)>;

// NEVPNConnection of a profile.
class VpnConnection {
 public:
  virtual ~VpnConnection() = default;
  virtual int status() = 0;
  // Returns at once; the state changes later.
  virtual void stop_vpn_tunnel() = 0;
  // Whether the connection is an NETunnelProviderSession, the only kind that is started.
  virtual bool is_tunnel_provider_session() = 0;
  // startVPNTunnelAndReturnError:
  virtual Status start_vpn_tunnel() = 0;
};

// NETunnelProviderManager.
class TunnelProviderManager {
 public:
  virtual ~TunnelProviderManager() = default;
  // The protocol when it is an NETunnelProviderProtocol, else none.
  virtual std::optional<TunnelProviderProtocol> protocol_configuration() = 0;
  virtual void set_protocol_configuration(const TunnelProviderProtocol& protocol) = 0;
  virtual void set_localized_description(const std::string& text) = 0;
  virtual void set_enabled(bool enabled) = 0;
  virtual std::vector<AppRule> app_rules() = 0;
  virtual void set_app_rules(const std::vector<AppRule>& rules) = 0;
  virtual void save_to_preferences(Done done) = 0;
  virtual void load_from_preferences(Done done) = 0;
  virtual void remove_from_preferences(Done done) = 0;
  virtual VpnConnection& connection() = 0;
};

using ManagerRef = std::shared_ptr<TunnelProviderManager>;
using ManagersLoaded = std::function<void(Result<std::vector<ManagerRef>>)>;

class NetworkExtension {
 public:
  virtual ~NetworkExtension() = default;
  // +[NETunnelProviderManager loadAllFromPreferencesWithCompletionHandler:]; nil gives an empty list.
  virtual void load_all_from_preferences(ManagersLoaded done) = 0;
  // [[NETunnelProviderManager alloc] init]
  virtual ManagerRef make_manager() = 0;
  // +[NETunnelProviderManager forPerAppVPN]
  virtual ManagerRef make_per_app_manager() = 0;

  // The current thread's run loop in its default mode, until the given time at the latest.
  virtual void run_current_run_loop(std::chrono::steady_clock::time_point until) = 0;
  // dispatch_after on the global queue of default quality of service.
  virtual void dispatch_after(std::chrono::milliseconds delay, std::function<void()> block) = 0;
};

}  // namespace kivo::nem

namespace kivo::nem {

// The platform's framework: NetworkExtension.framework on macOS, the stand-in elsewhere.
std::unique_ptr<NetworkExtension> make_system_network_extension();

}  // namespace kivo::nem
