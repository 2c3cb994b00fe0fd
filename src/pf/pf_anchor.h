// The helper's own pf anchors below "com.apple": loading a rule file, taking and releasing the
// reference token that pf enable hands out, and reading pfctl's answers.
#pragma once

#include <functional>
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
// The reference token of `pfctl -E`: the last word that is a number of at least four digits
// once the non-digits around it are stripped.
std::optional<std::string> parse_pf_token(std::string_view text);
// Whether a show listing still holds a rule (ALTQ notices, comments and blank lines aside).
bool has_active_anchor_rules(std::string_view text);
// pf's own switch as the "Status:" line of `pfctl -s info` gives it ("Status: Enabled for 0 days
// 00:03:01"): true when enabled, false when disabled, none when the text has no such line.
std::optional<bool> parse_pf_status(std::string_view info);
// Whether a failed show means pf or the anchor is not there: pf disabled, no such file, or the
// answer for an anchor that does not exist ("pfctl: DIOCGETRULES: Invalid argument").
bool is_anchor_absent_error(std::string_view error);

// Drops the kill switch's record; a missing file is fine.
void clear_pf_state(Env& env);

// One feature's anchor, files and wording. The *_failed texts are context phrases that get
// ": {error}" appended; the others are whole messages.
struct FeatureAnchor {
  const char* anchor;
  const char* rules_path;
  const char* show_kind;  // "rules" or "nat"
  const char* write_failed;
  const char* load_failed;
  const char* enable_failed;
  const char* token_missing;  // nullptr: a missing token is accepted
  const char* rules_missing;
  const char* rules_remain;  // nullptr for a feature that does not check after unloading
  bool rollback_clears_pf_state = false;
  // Where the feature keeps its token, when load_anchor is to record it (see there).
  const char* state_path = nullptr;
  const char* persist_failed = nullptr;  // context of a failed record; nullptr: the error text alone
};

// The feature's record for the token pf enable handed out (none when it printed none).
using EncodeTokenRecord = std::function<std::string(const std::optional<std::string>& token)>;

// The feature's check after loading: rules present or not, or the feature's whole error text
// when it could not tell.
using VerifyAnchor = std::function<Result<bool>()>;

// Writes, loads and enables, takes the token and verifies, undoing its own steps on failure
// (except a missing required token, which leaves the anchor and the rule file for the next
// unload). Yields the token. Given a record and the feature's state_path, it writes the record
// right after pf enable, before anything else can fail or the helper can die, so that the
// reference can always be released; a failed write rolls back. Without one, the caller records
// the token, then calls finish_anchor_load, or rollback_anchor_load if it could not.
Result<std::optional<std::string>> load_anchor(Env& env, const FeatureAnchor& feature, std::string_view rule_text,
                                               const VerifyAnchor& verify, const EncodeTokenRecord& record = nullptr);
// Also drops the record at the feature's state_path.
void rollback_anchor_load(Env& env, const FeatureAnchor& feature, const std::optional<std::string>& token);
// The rules now live only in pf.
void finish_anchor_load(Env& env, const FeatureAnchor& feature);

// Empties the anchor and gives back the feature's reference; results ignored.
void flush_and_release(Env& env, const char* anchor, const std::optional<std::string>& token);
// Succeeds unless the show command lists rules; a failing show counts as empty.
Status check_anchor_empty(Env& env, const FeatureAnchor& feature);
// flush_and_release, then check_anchor_empty.
Status unload_anchor(Env& env, const FeatureAnchor& feature, const std::optional<std::string>& token);

// Runs the show command of a verify operation. A failure that is_anchor_absent_error reads as
// pf or the anchor not being there means not active; other failures are the verify's error,
// unchanged. Rules that are listed count only while pf is not disabled (pfctl -s info).
Result<bool> verify_anchor_listing(Env& env, const FeatureAnchor& feature,
                                   const std::function<bool(std::string_view)>& rules_listed);

}  // namespace kivo
