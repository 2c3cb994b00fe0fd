#include "pf/quic_mitigation.h"

#include "base/json_record.h"
#include "base/text.h"
#include "pf/pf_anchor.h"

namespace kivo {
namespace {

constexpr const char* kQuicRules = "block drop out quick proto udp to any port 443\n";

constexpr FeatureAnchor kQuicFeature{
    .anchor = kQuicAnchor,
    .rules_path = kQuicRulesPath,
    .show_kind = "rules",
    .write_failed = "Failed to write QUIC PF rules",
    .load_failed = "Failed to load QUIC PF anchor rules",
    .enable_failed = "Failed to enable PF for QUIC mitigation",
    .token_missing = nullptr,
    .rules_missing = "QUIC mitigation verification failed",
    .rules_remain = nullptr,
    .state_path = kQuicStatePath,
};

// "port 443" must not also match "port 4433".
bool names_port_443(std::string_view line) {
  for (std::string_view form : {"port = 443", "port 443"}) {
    for (auto at = line.find(form); at != std::string_view::npos; at = line.find(form, at + 1)) {
      auto after = at + form.size();
      if (after == line.size() || line[after] < '0' || line[after] > '9') return true;
    }
  }
  return false;
}

}  // namespace

std::string encode_quic_state(const QuicRuntimeState& state) {
  return json::Out()
      .begin_object()
      .opt_str("token", state.token)
      .u64("updated_at", state.updated_at)
      .end_object()
      .take();
}

Result<QuicRuntimeState> decode_quic_state(std::string_view text) {
  KIVO_TRY(in, json::In::parse(text));
  KIVO_TRY(token, in.opt_str("token"));
  KIVO_TRY(updated_at, in.u64("updated_at"));
  return QuicRuntimeState{token, updated_at};
}

bool quic_rule_listed(std::string_view show_output) {
  for (std::string_view raw : split_lines(show_output)) {
    std::string line = to_lower_ascii(trim(raw));
    if (line.empty() || starts_with(line, "no altq support") || starts_with(line, "altq related")) continue;
    if (contains(line, "block drop out quick") && contains(line, "proto udp") && names_port_443(line)) return true;
  }
  return false;
}

Result<bool> QuicMitigation::apply_quic_mitigation() {
  std::lock_guard lock(mu_);
  (void)remove_locked();
  // The token is recorded as soon as pf hands it out; a record that cannot be written leaves
  // the block off rather than in force with a reference nobody could release.
  auto record = [this](const std::optional<std::string>& token) {
    return encode_quic_state({token, env_.now_epoch_seconds()});
  };
  KIVO_TRY(token, load_anchor(env_, kQuicFeature, kQuicRules, [this] { return verify_locked(); }, record));
  finish_anchor_load(env_, kQuicFeature);
  return true;
}

bool QuicMitigation::remove_quic_mitigation() {
  std::lock_guard lock(mu_);
  return remove_locked();
}

bool QuicMitigation::remove_locked() {
  std::optional<std::string> token;
  if (auto text = env_.read_file(kQuicStatePath))
    if (auto state = decode_quic_state(*text)) token = state->token;
  flush_and_release(env_, kQuicAnchor, token);
  env_.remove_file(kQuicStatePath);
  // Left only by an apply that was cut short; it has no use once the anchor is flushed.
  env_.remove_file(kQuicRulesPath);
  return false;
}

Result<bool> QuicMitigation::verify_quic_mitigation() {
  std::lock_guard lock(mu_);
  return verify_locked();
}

Result<bool> QuicMitigation::verify_locked() { return verify_anchor_listing(env_, kQuicFeature, quic_rule_listed); }

}  // namespace kivo
