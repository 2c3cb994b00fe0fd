// The pf redirection that hands loopback DNS queries (port 53) to the local DNS proxy's port.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/result.h"
#include "os/env.h"
#include "pf/pf_anchor.h"

namespace kivo {

// Where the local DNS proxy listens; the redirection and the liveness probe both aim here.
inline constexpr const char* kDnsProxyHost = "127.0.0.1";
inline constexpr std::uint16_t kDnsProxyPort = 1053;

// The two rdr rules, UDP first.
std::string dns_redirection_rules();

// Loads the DNS anchor and yields the pf reference token it took. The DNS record that `record`
// encodes for that token is written as soon as pf hands the token out, so no crash can leave a
// reference that nobody records; a load that fails afterwards removes it again.
Result<std::string> install_dns_redirection(Env& env, const EncodeTokenRecord& record);
Status remove_dns_redirection(Env& env, const std::optional<std::string>& token);
Result<bool> verify_dns_redirection(Env& env);

}  // namespace kivo
