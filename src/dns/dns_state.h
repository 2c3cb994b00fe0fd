// The DNS proxy's record: the target it applied, every service's own servers from before, and
// the pf reference of the redirection. It is what restore, verify and the watchdog go by.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "dns/network_services.h"
#include "os/env.h"

namespace kivo {

inline constexpr const char* kDnsStatePath = "/var/run/com.kivovpn.helper.dns.state.json";

struct DnsServiceBackup {
  std::string service;
  DnsServers dns_servers;  // none: the service took its servers automatically
  bool operator==(const DnsServiceBackup&) const = default;
};

struct DnsRuntimeState {
  std::string target_dns;
  std::vector<DnsServiceBackup> services;
  std::optional<std::string> pf_token;
  std::uint64_t updated_at = 0;
  bool operator==(const DnsRuntimeState&) const = default;
};

std::string encode_dns_state(const DnsRuntimeState& state);
Result<DnsRuntimeState> decode_dns_state(std::string_view text);

Result<DnsRuntimeState> read_dns_state(Env& env);
// Atomic: a crash mid-write leaves the previous record, never half of one.
Status save_dns_state(Env& env, const DnsRuntimeState& state);
void clear_dns_state(Env& env);

}  // namespace kivo
