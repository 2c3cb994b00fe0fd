#include "dns/dns_proxy.h"

#include <chrono>

#include "base/ip.h"
#include "base/text.h"
#include "dns/dns_redirection.h"
#include "dns/network_services.h"

namespace kivo {
namespace {

constexpr std::chrono::milliseconds kProxyProbeLimit{250};

std::vector<std::string> servers_or_automatic(const DnsServiceBackup& backup) {
  return backup.dns_servers.value_or(std::vector<std::string>{});
}

}  // namespace

Result<std::uint64_t> DnsProxy::apply_dns_proxy(const std::string& dns_ip) {
  std::lock_guard lock(mu_);
  return apply_locked(dns_ip);
}

Result<std::uint64_t> DnsProxy::apply_locked(const std::string& dns_ip) {
  if (!is_ip_address(dns_ip)) return fail("Invalid IP provided: " + dns_ip);

  // What a failed restore could not put back: the only copy of those services' own servers.
  std::optional<DnsRuntimeState> held;
  if (auto applied = read_dns_state(env_)) {
    if (applied->target_dns == dns_ip) {
      if (auto verified = verify_locked(dns_ip); verified && verified->active) return verified->configured_services;
    }
    // Back to the user's own servers first, so that the backups below are theirs and not ours.
    if (auto restored = restore_locked(); !restored) {
      env_.print_error_line("[Tarnwick DNS] pre-apply restore warning: " + restored.error());
      if (auto kept = read_dns_state(env_)) held = std::move(*kept);
    }
  }
  // Leaves the services' own servers where a failed apply found them.
  auto forget = [&] {
    if (held) (void)save_dns_state(env_, *held);
    else clear_dns_state(env_);
  };

  KIVO_TRY(services, list_network_services(env_));
  if (services.empty()) return fail("No active network services found for DNS configuration");
  std::vector<DnsServiceBackup> backups;
  std::vector<bool> still_held;  // by backup: a service that is not yet back on its own servers
  for (const auto& service : services) {
    KIVO_TRY(servers, get_service_dns_servers(env_, service));
    const DnsServiceBackup* kept = nullptr;
    if (held)
      for (const auto& backup : held->services)
        if (backup.service == service) kept = &backup;
    backups.push_back({service, kept ? kept->dns_servers : std::move(servers)});
    still_held.push_back(kept != nullptr);
  }

  // The record goes down before the anchor is loaded, and again with the token the moment pf
  // hands it out: a crash at any step leaves the user's servers where the next start finds them.
  std::uint64_t now = env_.now_epoch_seconds();
  if (Status saved = save_dns_state(env_, {dns_ip, backups, std::nullopt, now}); !saved) {
    forget();
    return fail("Failed to persist DNS state: " + saved.error());
  }
  auto token = install_dns_redirection(env_, [&](const std::optional<std::string>& taken) {
    return encode_dns_state({dns_ip, backups, taken, now});
  });
  if (!token) {
    forget();
    return fail(token.error());
  }

  // Puts back the first `changed` services; the record keeps whatever is not back.
  auto undo = [&](std::size_t changed) {
    (void)remove_dns_redirection(env_, *token);
    std::vector<DnsServiceBackup> kept;
    for (std::size_t i = 0; i < backups.size(); ++i) {
      if (i < changed) {
        Status set = set_service_dns_servers(env_, backups[i].service, servers_or_automatic(backups[i]));
        if (set || is_missing_network_service_error(set.error())) continue;
      } else if (!still_held[i]) {
        continue;
      }
      kept.push_back(backups[i]);
    }
    if (kept.empty()) clear_dns_state(env_);
    else (void)save_dns_state(env_, {dns_ip, std::move(kept), std::nullopt, now});
  };
  for (std::size_t i = 0; i < backups.size(); ++i) {
    if (Status set = set_service_dns_servers(env_, backups[i].service, {dns_ip}); !set) {
      undo(i);
      return fail(set.error());
    }
  }
  // A check that errs leaves the services as unknown as one that says no: undo both alike.
  for (const auto& backup : backups) {
    auto matches = dns_servers_match(env_, backup.service, dns_ip);
    if (!matches || !*matches) {
      undo(backups.size());
      if (!matches) return fail(matches.error());
      return fail("Verification failed: service '" + backup.service + "' did not apply DNS " + dns_ip);
    }
  }
  auto redirected = verify_dns_redirection(env_);
  if (!redirected || !*redirected) {
    undo(backups.size());
    if (!redirected) return fail(redirected.error());
    return fail("Verification failed: DNS PF redirection is not active");
  }
  return backups.size();
}

Result<std::uint64_t> DnsProxy::restore_dns_proxy() {
  std::lock_guard lock(mu_);
  return restore_locked();
}

Result<std::uint64_t> DnsProxy::restore_locked() {
  auto state = read_dns_state(env_);
  if (!state) return 0;

  std::vector<std::string> problems;
  std::vector<bool> not_back(state->services.size(), false);
  for (std::size_t i = 0; i < state->services.size(); ++i) {
    const auto& backup = state->services[i];
    Status set = set_service_dns_servers(env_, backup.service, servers_or_automatic(backup));
    if (!set && !is_missing_network_service_error(set.error())) {
      problems.push_back(set.error());
      not_back[i] = true;
    }
  }
  for (std::size_t i = 0; i < state->services.size(); ++i) {
    const auto& backup = state->services[i];
    auto current = get_service_dns_servers(env_, backup.service);
    if (!current) {
      if (!is_missing_network_service_error(current.error())) {
        problems.push_back("Failed to verify DNS restore for service '" + backup.service + "': " + current.error());
        not_back[i] = true;
      }
    } else if (*current != backup.dns_servers) {
      problems.push_back("DNS restore verification failed for service '" + backup.service + "'");
      not_back[i] = true;
    }
  }
  if (Status removed = remove_dns_redirection(env_, state->pf_token); !removed)
    problems.push_back("Failed removing DNS PF redirection: " + removed.error());

  // The record keeps only the servers still to put back, with no token: the redirection's
  // reference is given back above, and the next restore flushes the anchor without one.
  std::vector<DnsServiceBackup> kept;
  for (std::size_t i = 0; i < state->services.size(); ++i)
    if (not_back[i]) kept.push_back(state->services[i]);
  if (kept.empty()) clear_dns_state(env_);
  else (void)save_dns_state(env_, {state->target_dns, std::move(kept), std::nullopt, state->updated_at});

  if (!problems.empty()) return fail(join(problems, " | "));
  return state->services.size();
}

Result<DnsVerification> DnsProxy::verify_dns_proxy(const std::string& dns_ip) {
  std::lock_guard lock(mu_);
  return verify_locked(dns_ip);
}

Result<DnsVerification> DnsProxy::verify_locked(const std::string& dns_ip) {
  if (!is_ip_address(dns_ip)) return fail("Invalid IP provided: " + dns_ip);
  auto state = read_dns_state(env_);
  if (!state) return DnsVerification{false, 0};
  std::uint64_t count = state->services.size();
  if (state->target_dns != dns_ip) return DnsVerification{false, count};
  for (const auto& backup : state->services) {
    KIVO_TRY(matches, dns_servers_match(env_, backup.service, dns_ip));
    if (!matches) return DnsVerification{false, count};
  }
  KIVO_TRY(redirected, verify_dns_redirection(env_));
  return DnsVerification{redirected, count};
}

void DnsProxy::recover_stale_dns_state(std::string_view reason) {
  std::lock_guard lock(mu_);
  auto state = read_dns_state(env_);
  if (!state) return;
  std::string during(reason);
  // Only an applied record holds a token. One without is what a restore could not finish, or
  // an apply cut short before pf answered: nothing of it is in force, so it is finished now.
  if (!state->pf_token) {
    auto restored = restore_locked();
    std::string warning = restored ? "" : restored.error();
    // A service that keeps refusing is retried every round; it is reported once, not every 5 s.
    if (!warning.empty() && warning != last_retry_warning_)
      env_.print_error_line("[Tarnwick DNS] stale-state restore during " + during + " completed with warnings: " +
                            warning);
    last_retry_warning_ = warning;
    return;
  }
  // Only a loopback target has a local proxy whose death this can see.
  if (state->target_dns != kDnsProxyHost) return;
  if (env_.tcp_probe(kDnsProxyHost, kDnsProxyPort, kProxyProbeLimit)) return;
  env_.print_error_line("[Tarnwick DNS] stale state detected during " + during + "; local proxy 127.0.0.1:" +
                        std::to_string(kDnsProxyPort) + " unreachable. Restoring DNS.");
  auto restored = restore_locked();
  last_retry_warning_ = restored ? "" : restored.error();
  if (!restored)
    env_.print_error_line("[Tarnwick DNS] stale-state restore during " + during +
                          " completed with warnings: " + restored.error());
}

}  // namespace kivo
