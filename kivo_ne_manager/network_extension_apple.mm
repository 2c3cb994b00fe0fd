// NetworkExtension.framework behind kivo-ne-manager's interface. Kept thin: each method is the
// one framework call it names, plus the conversion of its values.
#import <Foundation/Foundation.h>
#import <NetworkExtension/NetworkExtension.h>
#include <dispatch/dispatch.h>

#include "kivo_ne_manager/network_extension.h"

namespace kivo::nem {
namespace {

// UTF8String answers NULL for a string it cannot convert (a lone surrogate, say), as for nil.
std::string to_string(NSString* text) {
  const char* utf8 = text ? [text UTF8String] : nullptr;
  return utf8 ? std::string(utf8) : std::string();
}

NSString* to_ns(const std::string& text) {
  return [[NSString alloc] initWithBytes:text.data() length:text.size() encoding:NSUTF8StringEncoding];
}

Status to_status(NSError* error) {
  if (error == nil) return {};
  return fail(to_string([error localizedDescription]));
}

class AppleConnection final : public VpnConnection {
 public:
  explicit AppleConnection(NETunnelProviderManager* manager) : manager_(manager) {}

  // Read through the manager each time: a reload may give it a new connection object.
  int status() override { return static_cast<int>(manager_.connection.status); }
  void stop_vpn_tunnel() override { [manager_.connection stopVPNTunnel]; }
  bool is_tunnel_provider_session() override {
    return [manager_.connection isKindOfClass:[NETunnelProviderSession class]];
  }
  Status start_vpn_tunnel() override {
    NSError* error = nil;
    if ([(NETunnelProviderSession*)manager_.connection startVPNTunnelAndReturnError:&error]) return {};
    return error ? to_status(error) : fail("The tunnel could not be started.");
  }

 private:
  NETunnelProviderManager* manager_;
};

class AppleManager final : public TunnelProviderManager {
 public:
  explicit AppleManager(NETunnelProviderManager* manager) : manager_(manager), connection_(manager) {}

  std::optional<TunnelProviderProtocol> protocol_configuration() override {
    NEVPNProtocol* protocol = manager_.protocolConfiguration;
    if (![protocol isKindOfClass:[NETunnelProviderProtocol class]]) return std::nullopt;
    NETunnelProviderProtocol* tunnel = (NETunnelProviderProtocol*)protocol;
    TunnelProviderProtocol out;
    out.provider_bundle_identifier = to_string(tunnel.providerBundleIdentifier);
    out.server_address = to_string(tunnel.serverAddress);
    out.disconnect_on_sleep = tunnel.disconnectOnSleep;
    out.include_all_networks = tunnel.includeAllNetworks;
    out.exclude_local_networks = tunnel.excludeLocalNetworks;
    NSDictionary<NSString*, id>* configuration = tunnel.providerConfiguration;
    for (NSString* key in configuration) {
      id value = configuration[key];
      if ([value isKindOfClass:[NSString class]]) out.provider_configuration[to_string(key)] = to_string(value);
      else if ([value isKindOfClass:[NSNumber class]])
        out.provider_configuration[to_string(key)] = static_cast<std::int64_t>([value longLongValue]);
    }
    return out;
  }

  void set_protocol_configuration(const TunnelProviderProtocol& in) override {
    NETunnelProviderProtocol* protocol = [[NETunnelProviderProtocol alloc] init];
    protocol.providerBundleIdentifier = to_ns(in.provider_bundle_identifier);
    protocol.serverAddress = to_ns(in.server_address);
    protocol.disconnectOnSleep = in.disconnect_on_sleep;
    protocol.includeAllNetworks = in.include_all_networks;
    protocol.excludeLocalNetworks = in.exclude_local_networks;
    NSMutableDictionary<NSString*, id>* configuration = [NSMutableDictionary dictionary];
    for (const auto& [key, value] : in.provider_configuration) {
      if (const auto* text = std::get_if<std::string>(&value)) configuration[to_ns(key)] = to_ns(*text);
      else configuration[to_ns(key)] = [NSNumber numberWithLongLong:std::get<std::int64_t>(value)];
    }
    protocol.providerConfiguration = configuration;
    manager_.protocolConfiguration = protocol;
  }

  void set_localized_description(const std::string& text) override { manager_.localizedDescription = to_ns(text); }
  void set_enabled(bool enabled) override { manager_.enabled = enabled; }

  std::vector<AppRule> app_rules() override {
    std::vector<AppRule> rules;
    for (NEAppRule* rule in manager_.appRules)
      rules.push_back({to_string(rule.matchSigningIdentifier), to_string(rule.matchDesignatedRequirement),
                       to_string(rule.matchPath)});
    return rules;
  }

  void set_app_rules(const std::vector<AppRule>& rules) override {
    NSMutableArray<NEAppRule*>* app_rules = [NSMutableArray array];
    for (const auto& rule : rules) {
      NEAppRule* app_rule = [[NEAppRule alloc] initWithSigningIdentifier:to_ns(rule.signing_identifier)
                                                   designatedRequirement:to_ns(rule.designated_requirement)];
      app_rule.matchPath = to_ns(rule.match_path);
      [app_rules addObject:app_rule];
    }
    manager_.appRules = app_rules;
  }

  void save_to_preferences(Done done) override {
    [manager_ saveToPreferencesWithCompletionHandler:^(NSError* error) { done(to_status(error)); }];
  }
  void load_from_preferences(Done done) override {
    [manager_ loadFromPreferencesWithCompletionHandler:^(NSError* error) { done(to_status(error)); }];
  }
  void remove_from_preferences(Done done) override {
    [manager_ removeFromPreferencesWithCompletionHandler:^(NSError* error) { done(to_status(error)); }];
  }
  VpnConnection& connection() override { return connection_; }

 private:
  NETunnelProviderManager* manager_;
  AppleConnection connection_;
};

class AppleNetworkExtension final : public NetworkExtension {
 public:
  void load_all_from_preferences(ManagersLoaded done) override {
    [NETunnelProviderManager
        loadAllFromPreferencesWithCompletionHandler:^(NSArray<NETunnelProviderManager*>* managers, NSError* error) {
          if (error) return done(fail(to_string([error localizedDescription])));
          std::vector<ManagerRef> loaded;
          for (NETunnelProviderManager* manager in managers) loaded.push_back(std::make_shared<AppleManager>(manager));
          done(std::move(loaded));
        }];
  }

  ManagerRef make_manager() override { return std::make_shared<AppleManager>([[NETunnelProviderManager alloc] init]); }
  ManagerRef make_per_app_manager() override {
    return std::make_shared<AppleManager>([NETunnelProviderManager forPerAppVPN]);
  }

  void run_current_run_loop(std::chrono::steady_clock::time_point until) override {
    auto left = std::chrono::duration<double>(until - std::chrono::steady_clock::now()).count();
    NSDate* date = [NSDate dateWithTimeIntervalSinceNow:left > 0 ? left : 0];
    // A run loop with no input source returns at once; waiting out the slice keeps the poll
    // from spinning.
    if (![[NSRunLoop currentRunLoop] runMode:NSDefaultRunLoopMode beforeDate:date]) [NSThread sleepUntilDate:date];
  }

  void dispatch_after(std::chrono::milliseconds delay, std::function<void()> block) override {
    ::dispatch_after(dispatch_time(DISPATCH_TIME_NOW, static_cast<int64_t>(delay.count()) * NSEC_PER_MSEC),
                     dispatch_get_global_queue(QOS_CLASS_DEFAULT, 0), ^{ block(); });
  }
};

}  // namespace

std::unique_ptr<NetworkExtension> make_system_network_extension() { return std::make_unique<AppleNetworkExtension>(); }

}  // namespace kivo::nem
