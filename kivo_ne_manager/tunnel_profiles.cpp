#include "kivo_ne_manager/tunnel_profiles.h"

#include "base/text.h"

namespace kivo::nem {
namespace {

bool is_per_app(TunnelProviderManager& manager) { return !manager.app_rules().empty(); }

// Connected, or on its way there: reasserting is a connection looking for its path again.
bool is_running(int state) { return state == kVpnConnected || state == kVpnConnecting || state == kVpnReasserting; }

}  // namespace

std::optional<std::string> endpoint_host(std::string_view endpoint) {
  std::string_view text = trim(endpoint);
  std::string_view host;
  if (text.empty()) return std::nullopt;
  if (text.front() == '[') {
    auto close = text.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = text.substr(1, close - 1);
  } else if (auto colon = text.rfind(':'); colon != std::string_view::npos) {
    host = text.substr(0, colon);
  } else {
    host = text;
  }
  // ":51820" and "[]:51820" name no host.
  if (host.empty()) return std::nullopt;
  return std::string(host);
}

StatusPayload status_payload(TunnelProviderManager& manager) {
  StatusPayload s;
  s.configured = true;
  switch (manager.connection().status()) {
    case kVpnInvalid: s.status = "invalid"; break;
    case kVpnDisconnected: s.status = "disconnected"; break;
    case kVpnConnecting: s.status = "connecting"; break;
    case kVpnConnected: s.status = "connected"; break;
    case kVpnReasserting: s.status = "reasserting"; break;
    case kVpnDisconnecting: s.status = "disconnecting"; break;
    default: s.status = "unknown"; break;
  }
  s.connected = s.status == "connected";
  s.connecting = s.status == "connecting" || s.status == "reasserting";
  s.disconnecting = s.status == "disconnecting";
  s.app_rule_count = manager.app_rules().size();
  s.per_app_mode = s.app_rule_count != 0;
  return s;
}

StatusPayload not_configured_status() { return StatusPayload{}; }

void TunnelProfiles::load_all_managers(ManagersLoaded done) {
  ne_.load_all_from_preferences([done = std::move(done)](Result<std::vector<ManagerRef>> loaded) {
    if (!loaded) return done(manager_error::network_extension("Failed to load packet tunnel preferences: " + loaded.error()));
    std::vector<ManagerRef> ours;
    for (auto& manager : *loaded) {
      auto protocol = manager->protocol_configuration();
      if (protocol && protocol->provider_bundle_identifier == kProviderBundleIdentifier) ours.push_back(manager);
    }
    done(std::move(ours));
  });
}

Status TunnelProfiles::configure(TunnelProviderManager& manager, const ConnectPayload& payload, bool per_app) {
  std::vector<AppRule> app_rules;
  if (per_app) {
    KIVO_TRY(built, rules_.build_included_app_rules(payload.excluded_apps));
    app_rules = std::move(built);
  }
  TunnelProviderProtocol protocol;
  protocol.provider_bundle_identifier = kProviderBundleIdentifier;
  protocol.server_address = endpoint_host(payload.peer_endpoint).value_or(kProfileName);
  protocol.disconnect_on_sleep = false;
  protocol.include_all_networks = !per_app;
  protocol.exclude_local_networks = false;
  protocol.provider_configuration = {
      {"private_key", payload.private_key},
      {"address", payload.address},
      {"dns", payload.dns},
      {"peer_public_key", payload.peer_public_key},
      {"peer_endpoint", payload.peer_endpoint},
      {"allowed_ips", payload.allowed_ips},
      {"mtu", static_cast<std::int64_t>(payload.mtu.value_or(kDefaultMtu))},
      {"keepalive_seconds", static_cast<std::int64_t>(payload.keepalive_seconds.value_or(kDefaultKeepaliveSeconds))},
  };
  manager.set_localized_description(kProfileName);
  manager.set_protocol_configuration(protocol);
  manager.set_enabled(true);
  manager.set_app_rules(app_rules);
  return {};
}

void TunnelProfiles::save(ManagerRef manager, std::function<void(Result<ManagerRef>)> done) {
  manager->save_to_preferences([manager, done = std::move(done)](Status saved) {
    if (!saved) return done(manager_error::network_extension("Failed to save packet tunnel preferences: " + saved.error()));
    manager->load_from_preferences([manager, done](Status reloaded) {
      if (!reloaded)
        return done(manager_error::network_extension("Failed to reload packet tunnel preferences: " + reloaded.error()));
      done(manager);
    });
  });
}

void TunnelProfiles::remove_managers(std::vector<ManagerRef> managers, Done done) {
  if (managers.empty()) return done({});
  auto first = managers.front();
  first->remove_from_preferences([this, rest = std::vector<ManagerRef>(managers.begin() + 1, managers.end()),
                                  done = std::move(done)](Status removed) mutable {
    if (!removed)
      return done(manager_error::network_extension("Failed to remove stale tunnel preferences: " + removed.error()));
    remove_managers(std::move(rest), std::move(done));
  });
}

void TunnelProfiles::start(ManagerRef manager, Completion done) {
  auto& connection = manager->connection();
  if (is_running(connection.status())) {
    connection.stop_vpn_tunnel();
    // No limit on the rounds: the front end's wait bounds them.
    ne_.dispatch_after(kRestartDelay, [this, manager, done = std::move(done)]() mutable { start(manager, std::move(done)); });
    return;
  }
  if (connection.is_tunnel_provider_session()) {
    auto started = connection.start_vpn_tunnel();
    if (!started) return done(manager_error::network_extension("Failed to start packet tunnel: " + started.error()));
  }
  done(status_payload(*manager));
}

void TunnelProfiles::connect(ConnectPayload payload, Completion done) {
  bool per_app = !payload.excluded_apps.empty();
  load_all_managers([this, per_app, payload = std::move(payload), done = std::move(done)](auto loaded) mutable {
    if (!loaded) return done(fail(loaded.error()));
    ManagerRef chosen;
    std::vector<ManagerRef> stale;
    for (auto& manager : *loaded) {
      if (!chosen && is_per_app(*manager) == per_app) chosen = manager;
      else stale.push_back(manager);
    }
    if (!chosen) chosen = per_app ? ne_.make_per_app_manager() : ne_.make_manager();
    // Settings and rules are built before anything is removed: a connect that cannot build
    // them must not cost the user the profile that works.
    if (auto configured = configure(*chosen, payload, per_app); !configured) return done(fail(configured.error()));
    // Reading the signatures can outlast the wait: a connect nobody waits for any more must
    // not go on to cost the user the profiles it would replace.
    if (!stale.empty() && system_.now() >= deadline_) return done(manager_error::timed_out());
    remove_managers(std::move(stale), [this, chosen, done](Status removed) {
      if (!removed) return done(fail(removed.error()));
      save(chosen, [this, done](Result<ManagerRef> saved) {
        if (!saved) return done(fail(saved.error()));
        start(*saved, done);
      });
    });
  });
}

void TunnelProfiles::disconnect(Completion done) {
  load_all_managers([done = std::move(done)](auto loaded) {
    if (!loaded) return done(fail(loaded.error()));
    if (loaded->empty()) return done(not_configured_status());
    auto& first = *loaded->front();
    first.connection().stop_vpn_tunnel();
    done(status_payload(first));
  });
}

void TunnelProfiles::status(Completion done) {
  load_all_managers([done = std::move(done)](auto loaded) {
    if (!loaded) return done(fail(loaded.error()));
    if (loaded->empty()) return done(not_configured_status());
    done(status_payload(*loaded->front()));
  });
}

void TunnelProfiles::update_app_rules(AppRulePayload payload, Completion done) {
  load_all_managers([this, payload = std::move(payload), done = std::move(done)](auto loaded) mutable {
    if (!loaded) return done(fail(loaded.error()));
    ManagerRef per_app;
    for (auto& manager : *loaded)
      if (is_per_app(*manager)) {
        per_app = manager;
        break;
      }
    // A full-tunnel profile is never turned into a per-application one here.
    if (!per_app) return done(manager_error::manager_missing());
    auto rules = rules_.build_included_app_rules(payload.excluded_apps);
    if (!rules) return done(fail(rules.error()));
    per_app->set_app_rules(*rules);
    save(per_app, [this, done](Result<ManagerRef> saved) {
      if (!saved) return done(fail(saved.error()));
      auto manager = *saved;
      if (!is_running(manager->connection().status())) return done(status_payload(*manager));
      manager->connection().stop_vpn_tunnel();
      ne_.dispatch_after(kRestartDelay, [this, manager, done] { start(manager, done); });
    });
  });
}

}  // namespace kivo::nem
