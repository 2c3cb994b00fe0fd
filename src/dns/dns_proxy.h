// Points every enabled network service's DNS at one server (normally the local DNS proxy on
// 127.0.0.1, reached through the pf redirection), keeps each service's own servers, and puts
// them back on request, before a new apply, and when the local proxy has died.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "dns/dns_state.h"
#include "os/env.h"

namespace kivo {

struct DnsVerification {
  bool active = false;
  std::uint64_t configured_services = 0;
  bool operator==(const DnsVerification&) const = default;
};

// Requests, the start-up recovery and the watchdog all take one lock, so the watchdog never
// restores in the middle of an apply and no record is lost between two writers.
class DnsProxy {
 public:
  explicit DnsProxy(Env& env) : env_(env) {}

  Result<std::uint64_t> apply_dns_proxy(const std::string& dns_ip);
  // The number of services in the record that was restored; 0 when there was none. Services
  // that could not be put back stay in the record, for the next restore and the recovery.
  Result<std::uint64_t> restore_dns_proxy();
  Result<DnsVerification> verify_dns_proxy(const std::string& dns_ip);
  // Restores when a loopback target's proxy no longer accepts connections, and finishes a
  // restore that left services behind.
  void recover_stale_dns_state(std::string_view reason);

 private:
  Result<std::uint64_t> apply_locked(const std::string& dns_ip);
  Result<std::uint64_t> restore_locked();
  Result<DnsVerification> verify_locked(const std::string& dns_ip);
  Env& env_;
  std::mutex mu_;
  std::string last_retry_warning_;  // the last warning of retrying an unfinished restore
};

}  // namespace kivo
