#include "pf/kill_switch.h"

#include <vector>

#include "base/ip.h"
#include "base/json_record.h"
#include "base/text.h"
#include "commands/command_runner.h"
#include "commands/system_tools.h"
#include "pf/pf_anchor.h"
#include "tunnel/runtime_state.h"

namespace kivo {
namespace {

constexpr const char* kBlockRule = "block drop out quick all";

constexpr FeatureAnchor kKillSwitchFeature{
    .anchor = kKillSwitchAnchor,
    .rules_path = kKillSwitchRulesPath,
    .show_kind = "rules",
    .write_failed = "Failed to write pf rules",
    .load_failed = "Failed to load pf anchor rules",
    .enable_failed = "Failed to enable pf",
    .token_missing = nullptr,
    .rules_missing = "Verification failed: expected kill-switch block rule missing",
    .rules_remain = "Anchor still has active rules after removal",
    .rollback_clears_pf_state = true,
    .state_path = kPfStatePath,
    .persist_failed = "Failed to persist kill-switch state",
};

// Only our own tunnel interfaces (utun followed by digits) are let through; anything else in
// the tunnel record would widen the hole.
bool is_tunnel_interface(std::string_view name) {
  if (!starts_with(name, "utun")) return false;
  for (char c : name.substr(4))
    if (c < '0' || c > '9') return false;
  return true;
}

std::string kill_switch_rules(const std::vector<std::string>& hosts, const std::optional<std::string>& iface) {
  std::string rules = "pass quick on lo0 all\n";
  for (const auto& host : hosts) rules += "pass out quick proto { tcp udp } to " + host + " keep state\n";
  if (iface) rules += "pass out quick on " + *iface + " all keep state\n";
  rules += std::string(kBlockRule) + "\n";
  return rules;
}

}  // namespace

std::string encode_pf_state(const PfRuntimeState& state) {
  return json::Out()
      .begin_object()
      .opt_str("token", state.token)
      .str("server_ip", state.server_ip)
      .opt_str("iface", state.iface)
      .u64("updated_at", state.updated_at)
      .end_object()
      .take();
}

Result<PfRuntimeState> decode_pf_state(std::string_view text) {
  KIVO_TRY(in, json::In::parse(text));
  KIVO_TRY(token, in.opt_str("token"));
  KIVO_TRY(server_ip, in.str("server_ip"));
  KIVO_TRY(iface, in.opt_str("iface"));
  KIVO_TRY(updated_at, in.u64("updated_at"));
  return PfRuntimeState{token, server_ip, iface, updated_at};
}

Status KillSwitch::apply_kill_switch(const std::string& server_ip) {
  std::lock_guard lock(mu_);
  auto tunnel = read_state(env_);  // no tunnel record: only the server gets through
  if (!is_ip_address(server_ip)) return fail("Invalid IP provided: " + server_ip);

  std::vector<std::string> hosts{server_ip};
  if (tunnel && is_ip_address(tunnel->server_ip) && tunnel->server_ip != server_ip) hosts.push_back(tunnel->server_ip);

  (void)remove_locked();

  std::optional<std::string> iface;
  if (tunnel && is_tunnel_interface(tunnel->iface)) iface = tunnel->iface;

  auto verify = [this]() -> Result<bool> {
    auto shown = run_cmd(env_, kPfctlTool, pfctl_args::show(kKillSwitchAnchor, "rules"));
    if (!shown) return fail("Failed to verify pf anchor rules: " + shown.error());
    return contains(*shown, kBlockRule);
  };
  std::string allowed = join(hosts, ",");
  auto record = [&](const std::optional<std::string>& token) {
    return encode_pf_state({token, allowed, iface, env_.now_epoch_seconds()});
  };
  KIVO_TRY(token, load_anchor(env_, kKillSwitchFeature, kill_switch_rules(hosts, iface), verify, record));
  finish_anchor_load(env_, kKillSwitchFeature);
  return {};
}

Status KillSwitch::remove_kill_switch() {
  std::lock_guard lock(mu_);
  return remove_locked();
}

Status KillSwitch::remove_locked() {
  std::optional<std::string> token;
  if (auto text = env_.read_file(kPfStatePath))
    if (auto state = decode_pf_state(*text)) token = state->token;
  flush_and_release(env_, kKillSwitchAnchor, token);
  clear_pf_state(env_);
  // Left only by an apply that was cut short; it has no use once the anchor is flushed.
  env_.remove_file(kKillSwitchRulesPath);
  return check_anchor_empty(env_, kKillSwitchFeature);
}

Result<bool> KillSwitch::verify_kill_switch() {
  std::lock_guard lock(mu_);
  return verify_anchor_listing(env_, kKillSwitchFeature,
                               [](std::string_view listing) { return contains(listing, kBlockRule); });
}

}  // namespace kivo
