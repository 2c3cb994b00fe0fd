// The helper's own pf anchors below "com.apple": loading a rule file, taking and releasing the
// reference token that pf enable hands out, and reading pfctl's answers.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"
#include "os/env.h"

namespace kivo {

inline constexpr const char* kKillSwitchAnchor = "com.apple/250.KivoVPN";
inline constexpr const char* kDnsAnchor = "com.apple/251.KivoVPNDNS";
inline constexpr const char* kQuicAnchor = "com.apple/252.KivoVPNQuic";
inline constexpr const char* kKillSwitchRulesPath = "/var/run/com.kivovpn.helper.pf.rules";
inline constexpr const char* kDnsRulesPath = "/var/run/com.kivovpn.helper.dns.pf.rules";
inline constexpr const char* kQuicRulesPath = "/var/run/com.kivovpn.helper.quic.pf.rules";
inline constexpr const char* kPfStatePath = "/var/run/com.kivovpn.helper.pf.state.json";

// Pure parsers of pfctl output.
std::optional<std::string> parse_pf_token(std::string_view text);
bool has_active_anchor_rules(std::string_view text);

void clear_pf_state(Env& env);

// One feature's wording for the steps of the loading procedure.
struct AnchorMessages {
  std::string write;         // "...: {error}" prefix, e.g. "Failed to write pf rules"
  std::string load;
  std::string enable;
  std::string verify_failed;  // show command failed; empty: pass the error through unchanged
  std::string rules_missing;
};

struct AnchorSpec {
  const char* anchor;
  const char* rules_path;
  const char* show_kind;  // "rules" or "nat"
  bool token_required;    // false: a missing token is accepted
  bool clears_pf_state;   // the kill switch also drops its state record on rollback
};

// What a verify test makes of the show command's output.
using RulesPresent = bool (*)(std::string_view show_output);

struct LoadedAnchor {
  std::optional<std::string> token;
};

// Write, load, enable, parse the token and verify; rolls back its own steps on failure.
// The caller records the token and then calls finish_anchor_load (or rollback_anchor_load).
Result<LoadedAnchor> load_anchor(Env& env, const AnchorSpec& spec, const AnchorMessages& messages,
                                 std::string_view rule_text, RulesPresent rules_present);
void rollback_anchor_load(Env& env, const AnchorSpec& spec, const std::optional<std::string>& token);
void finish_anchor_load(Env& env, const AnchorSpec& spec);

// Flush, release the token, then show: succeeds unless rules remain.
Status unload_anchor(Env& env, const AnchorSpec& spec, const std::optional<std::string>& token,
                     const std::string& rules_remain_message);

// The show-command failure rule of the verify operations: "disabled" or "no such file" means
// not active; any other failure is the verify's error.
Result<bool> show_failure_as_inactive(const std::string& error);

}  // namespace kivo
