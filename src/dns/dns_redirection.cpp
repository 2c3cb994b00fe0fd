#include "dns/dns_redirection.h"

#include "base/text.h"
#include "commands/command_runner.h"
#include "commands/system_tools.h"
#include "dns/dns_state.h"

namespace kivo {
namespace {

constexpr FeatureAnchor kDnsFeature{
    .anchor = kDnsAnchor,
    .rules_path = kDnsRulesPath,
    .show_kind = "nat",
    .write_failed = "Failed to write DNS PF rules",
    .load_failed = "Failed to load DNS PF anchor rules",
    .enable_failed = "Failed to enable PF for DNS redirection",
    // Without a token the reference could never be given back.
    .token_missing = "Failed to parse PF token for DNS redirection",
    .rules_missing = "DNS PF redirection verification failed",
    .rules_remain = "DNS PF anchor still has active NAT rules after removal",
    .state_path = kDnsStatePath,
    .persist_failed = "Failed to persist DNS state",
};

bool names_proxy_port(std::string_view listing) { return contains(listing, std::to_string(kDnsProxyPort)); }

}  // namespace

std::string dns_redirection_rules() {
  std::string port = std::to_string(kDnsProxyPort);
  std::string rules;
  for (const char* proto : {"udp", "tcp"})
    rules += std::string("rdr pass on lo0 inet proto ") + proto + " from any to 127.0.0.1 port 53 -> 127.0.0.1 port " +
             port + "\n";
  return rules;
}

Result<std::string> install_dns_redirection(Env& env, const EncodeTokenRecord& record) {
  auto verify = [&env]() -> Result<bool> {
    auto shown = run_cmd(env, kPfctlTool, pfctl_args::show(kDnsAnchor, "nat"));
    if (!shown) return fail("Failed to verify DNS PF NAT rules: " + shown.error());
    return names_proxy_port(*shown);
  };
  KIVO_TRY(token, load_anchor(env, kDnsFeature, dns_redirection_rules(), verify, record));
  finish_anchor_load(env, kDnsFeature);
  return std::move(*token);  // a token is required, so load_anchor never yields none here
}

Status remove_dns_redirection(Env& env, const std::optional<std::string>& token) {
  // An install the helper did not live to finish leaves its rule file behind.
  env.remove_file(kDnsRulesPath);
  return unload_anchor(env, kDnsFeature, token);
}

Result<bool> verify_dns_redirection(Env& env) { return verify_anchor_listing(env, kDnsFeature, names_proxy_port); }

}  // namespace kivo
