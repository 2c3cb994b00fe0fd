#include "pf/pf_anchor.h"

#include <algorithm>

#include "base/text.h"
#include "commands/command_runner.h"
#include "commands/system_tools.h"

namespace kivo {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::string with_context(const char* context, const std::string& error) { return std::string(context) + ": " + error; }

}  // namespace

std::optional<std::string> parse_pf_token(std::string_view text) {
  auto words = split_whitespace(text);
  for (auto it = words.rbegin(); it != words.rend(); ++it) {
    std::string_view word = *it;
    auto first = std::find_if(word.begin(), word.end(), is_digit);
    auto last = std::find_if(word.rbegin(), word.rend(), is_digit).base();
    if (first >= last) continue;
    std::string_view digits(&*first, static_cast<std::size_t>(last - first));
    if (digits.size() >= 4 && std::all_of(digits.begin(), digits.end(), is_digit)) return std::string(digits);
  }
  return std::nullopt;
}

bool has_active_anchor_rules(std::string_view text) {
  for (std::string_view line : split_lines(text)) {
    line = trim(line);
    if (line.empty() || starts_with(line, "No ALTQ support") || starts_with(line, "ALTQ related") ||
        starts_with(line, "#"))
      continue;
    return true;
  }
  return false;
}

std::optional<bool> parse_pf_status(std::string_view info) {
  for (std::string_view line : split_lines(info)) {
    auto words = split_whitespace(line);
    if (words.size() < 2 || words[0] != "Status:") continue;
    if (words[1] == "Enabled") return true;
    if (words[1] == "Disabled") return false;
  }
  return std::nullopt;
}

bool is_anchor_absent_error(std::string_view error) {
  std::string lowered = to_lower_ascii(error);
  return contains(lowered, "disabled") || contains(lowered, "no such file") ||
         contains(lowered, "diocgetrules: invalid argument");
}

void clear_pf_state(Env& env) { env.remove_file(kPfStatePath); }

Result<std::optional<std::string>> load_anchor(Env& env, const FeatureAnchor& feature, std::string_view rule_text,
                                               const VerifyAnchor& verify, const EncodeTokenRecord& record) {
  if (Status written = env.write_file_atomic(feature.rules_path, rule_text); !written)
    return fail(with_context(feature.write_failed, written.error()));

  if (auto loaded = run_cmd(env, kPfctlTool, pfctl_args::load(feature.anchor, feature.rules_path)); !loaded) {
    env.remove_file(feature.rules_path);
    return fail(with_context(feature.load_failed, loaded.error()));
  }

  auto unload = [&] {
    (void)run_cmd(env, kPfctlTool, pfctl_args::flush(feature.anchor));
    env.remove_file(feature.rules_path);
  };
  auto enabled = run_cmd(env, kPfctlTool, pfctl_args::enable());
  if (!enabled) {
    unload();
    return fail(with_context(feature.enable_failed, enabled.error()));
  }

  // pf may have been on already and printed no token; only a feature that must release its
  // reference later insists on one.
  std::optional<std::string> token = parse_pf_token(*enabled);
  if (!token && feature.token_missing) {
    // No record will name these rules, so nothing would ever take them out again.
    unload();
    return fail(feature.token_missing);
  }

  if (record && feature.state_path) {
    if (Status saved = env.write_file_atomic(feature.state_path, record(token)); !saved) {
      rollback_anchor_load(env, feature, token);
      return fail(feature.persist_failed ? with_context(feature.persist_failed, saved.error()) : saved.error());
    }
  }

  Result<bool> present = verify();
  if (!present || !*present) {
    rollback_anchor_load(env, feature, token);
    return fail(present ? std::string(feature.rules_missing) : present.error());
  }
  return token;
}

void rollback_anchor_load(Env& env, const FeatureAnchor& feature, const std::optional<std::string>& token) {
  flush_and_release(env, feature.anchor, token);
  if (feature.rollback_clears_pf_state) clear_pf_state(env);
  if (feature.state_path) env.remove_file(feature.state_path);
  env.remove_file(feature.rules_path);
}

void finish_anchor_load(Env& env, const FeatureAnchor& feature) { env.remove_file(feature.rules_path); }

void flush_and_release(Env& env, const char* anchor, const std::optional<std::string>& token) {
  (void)run_cmd(env, kPfctlTool, pfctl_args::flush(anchor));
  if (token) (void)run_cmd(env, kPfctlTool, pfctl_args::release(*token));
}

Status check_anchor_empty(Env& env, const FeatureAnchor& feature) {
  auto shown = run_cmd(env, kPfctlTool, pfctl_args::show(feature.anchor, feature.show_kind));
  if (shown && has_active_anchor_rules(*shown)) return fail(feature.rules_remain);
  return {};
}

Status unload_anchor(Env& env, const FeatureAnchor& feature, const std::optional<std::string>& token) {
  flush_and_release(env, feature.anchor, token);
  return check_anchor_empty(env, feature);
}

Result<bool> verify_anchor_listing(Env& env, const FeatureAnchor& feature,
                                   const std::function<bool(std::string_view)>& rules_listed) {
  auto shown = run_cmd(env, kPfctlTool, pfctl_args::show(feature.anchor, feature.show_kind));
  if (!shown) {
    if (is_anchor_absent_error(shown.error())) return false;
    return fail(shown.error());
  }
  if (!rules_listed(*shown)) return false;
  // pf lists an anchor's rules while it is disabled too (someone ran pfctl -d), and then
  // they hold nothing back.
  auto info = run_cmd(env, kPfctlTool, pfctl_args::info());
  if (!info) return fail(info.error());
  return parse_pf_status(*info).value_or(true);
}

}  // namespace kivo
