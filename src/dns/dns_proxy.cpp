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

Status restore_dns_backups(Env& env, const std::vector<DnsServiceBackup>& backups) {
  std::vector<std::string> failures;
  for (const auto& backup : backups)
    if (Status set = set_service_dns_servers(env, backup.service, servers_or_automatic(backup)); !set)
      failures.push_back(set.error());
  if (!failures.empty()) return fail(join(failures, " | "));
  return {};
}

Result<std::uint64_t> DnsProxy::apply_dns_proxy(const std::string& dns_ip) {
  std::lock_guard lock(mu_);
  return apply_locked(dns_ip);
}

Result<std::uint64_t> DnsProxy::apply_locked(const std::string& dns_ip) {
  if (!is_ip_address(dns_ip)) return fail("Invalid IP provided: " + dns_ip);

  if (auto applied = read_dns_state(env_)) {
    if (applied->target_dns == dns_ip) {
      if (auto verified = verify_locked(dns_ip); verified && verified->active) return verified->configured_services;
    }
    // Back to the user's own servers first, so that the backups below are theirs and not ours.
    if (auto restored = restore_locked(); !restored)
      env_.print_error_line("[Tarnwick DNS] pre-apply restore warning: " + restored.error());
  }

  KIVO_TRY(services, list_network_services(env_));
  if (services.empty()) return fail("No active network services found for DNS configuration");
  std::vector<DnsServiceBackup> backups;
  for (const auto& service : services) {
    KIVO_TRY(servers, get_service_dns_servers(env_, service));
    backups.push_back({service, std::move(servers)});
  }

  // Recorded the moment pf hands out its reference, before the first service changes: a crash
  // from there on leaves the user's servers and the token where restore and the recovery find them.
  std::uint64_t now = env_.now_epoch_seconds();
  KIVO_TRY(token, install_dns_redirection(env_, [&](const std::optional<std::string>& taken) {
             return encode_dns_state({dns_ip, backups, taken, now});
           }));

  // Puts back the first `changed` services; the record goes only once they are back.
  auto undo = [&](std::size_t changed) {
    (void)remove_dns_redirection(env_, token);
    (void)restore_dns_backups(
        env_, std::vector<DnsServiceBackup>(backups.begin(), backups.begin() + static_cast<std::ptrdiff_t>(changed)));
    clear_dns_state(env_);
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
  for (const auto& backup : state->services) {
    Status set = set_service_dns_servers(env_, backup.service, servers_or_automatic(backup));
    if (!set && !is_missing_network_service_error(set.error())) problems.push_back(set.error());
  }
  for (const auto& backup : state->services) {
    auto current = get_service_dns_servers(env_, backup.service);
    if (!current) {
      if (!is_missing_network_service_error(current.error()))
        problems.push_back("Failed to verify DNS restore for service '" + backup.service + "': " + current.error());
    } else if (*current != backup.dns_servers) {
      problems.push_back("DNS restore verification failed for service '" + backup.service + "'");
    }
  }
  if (Status removed = remove_dns_redirection(env_, state->pf_token); !removed)
    problems.push_back("Failed removing DNS PF redirection: " + removed.error());
  // Dropped even with problems: a record that keeps failing would block every later apply.
  clear_dns_state(env_);

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
  // Only a loopback target has a local proxy whose death this can see.
  if (!state || state->target_dns != kDnsProxyHost) return;
  if (env_.tcp_probe(kDnsProxyHost, kDnsProxyPort, kProxyProbeLimit)) return;
  std::string during(reason);
  env_.print_error_line("[Tarnwick DNS] stale state detected during " + during + "; local proxy 127.0.0.1:" +
                        std::to_string(kDnsProxyPort) + " unreachable. Restoring DNS.");
  if (auto restored = restore_locked(); !restored)
    env_.print_error_line("[Tarnwick DNS] stale-state restore during " + during +
                          " completed with warnings: " + restored.error());
}

}  // namespace kivo
