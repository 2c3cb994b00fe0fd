#include "kivo_ne_manager/app_rules.h"

#include <algorithm>

#include "base/text.h"
#include "kivo_ne_manager/payloads.h"

namespace kivo::nem {
namespace {

std::string strip_trailing_slashes(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return std::string(path);
}

std::string append_component(const std::string& directory, std::string_view name) {
  std::string base = strip_trailing_slashes(directory);
  if (base.empty() || base.back() != '/') base += '/';
  return base + std::string(name);
}

// Unreadable text counts as empty, as when decoding it as UTF-8 fails.
std::string as_utf8_or_empty(std::string text) { return is_valid_utf8(text) ? text : std::string(); }

}  // namespace

std::string path_extension(std::string_view path) {
  std::string stripped = strip_trailing_slashes(path);
  std::string_view last = stripped;
  if (auto slash = last.rfind('/'); slash != std::string_view::npos) last.remove_prefix(slash + 1);
  auto dot = last.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return "";
  return std::string(last.substr(dot + 1));
}

CodesignReading read_codesign_output(std::string_view combined) {
  static constexpr std::string_view kIdentifier = "Identifier=";
  static constexpr std::string_view kDesignated = "designated =>";
  CodesignReading reading;
  size_t start = 0;
  while (start <= combined.size()) {
    size_t end = combined.find('\n', start);
    if (end == std::string_view::npos) end = combined.size();
    std::string_view line = combined.substr(start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    if (starts_with(line, kIdentifier)) reading.signing_identifier = std::string(trim(line.substr(kIdentifier.size())));
    if (auto at = line.find(kDesignated); at != std::string_view::npos)
      reading.designated_requirement = std::string(trim(line.substr(at + kDesignated.size())));
  }
  return reading;
}

Result<std::string> AppRuleBuilder::canonical_executable_path(std::string_view path) {
  std::string trimmed(trim(path));
  if (trimmed.empty()) return manager_error::invalid_input("Application path cannot be empty.");
  if (to_lower_ascii(path_extension(trimmed)) != "app") return system_.resolve_symlinks(trimmed);
  auto entries = system_.list_directory(append_component(append_component(trimmed, "Contents"), "MacOS"));
  if (entries) {
    for (const auto& entry : *entries)
      if (entry.is_regular_file) return system_.resolve_symlinks(entry.path);
  }
  return manager_error::invalid_input("No executable found in " + trimmed + ".");
}

void AppRuleBuilder::collect_applications(const std::string& directory, int remaining_depth,
                                          std::set<std::string>& seen, std::vector<std::string>& executables) {
  if (remaining_depth <= 0) return;
  auto entries = system_.list_directory(directory);
  if (!entries) return;
  for (const auto& entry : *entries) {
    if (to_lower_ascii(path_extension(entry.path)) == "app") {
      // Bundles are applications, never folders to search.
      auto executable = canonical_executable_path(entry.path);
      if (executable && seen.insert(*executable).second) executables.push_back(*executable);
    } else if (system_.is_directory(entry.path)) {
      collect_applications(entry.path, remaining_depth - 1, seen, executables);
    }
  }
}

std::vector<std::string> AppRuleBuilder::discover_installed_applications() {
  std::set<std::string> seen;
  std::vector<std::string> executables;
  for (const auto& root : {std::string("/Applications"), std::string("/System/Applications"),
                           append_component(system_.home_directory(), "Applications")})
    collect_applications(root, kSearchDepth, seen, executables);
  std::sort(executables.begin(), executables.end());
  return executables;
}

Result<CodeSignature> AppRuleBuilder::fetch_code_signature(const std::string& executable) {
  auto run = system_.run_process(kCodesignPath, {"-d", "--verbose=4", "-r-", executable});
  if (!run) return fail(run.error());
  std::vector<std::string> parts;
  for (auto* stream : {&run->standard_error, &run->standard_output}) {
    std::string text = as_utf8_or_empty(*stream);
    if (!text.empty()) parts.push_back(std::move(text));
  }
  std::string combined = join(parts, "\n");
  if (run->exit_status != 0)
    return manager_error::codesign("Failed to inspect code signature for " + executable + ": " + combined);
  auto reading = read_codesign_output(combined);
  if (!reading.signing_identifier || reading.signing_identifier->empty())
    return manager_error::codesign("Missing signing identifier for " + executable);
  if (!reading.designated_requirement || reading.designated_requirement->empty())
    return manager_error::codesign("Missing designated requirement for " + executable);
  return CodeSignature{*reading.signing_identifier, *reading.designated_requirement};
}

Result<std::vector<AppRule>> AppRuleBuilder::build_included_app_rules(const std::vector<std::string>& excluded_paths) {
  std::set<std::string> excluded;
  for (const auto& path : excluded_paths) {
    KIVO_TRY(executable, canonical_executable_path(path));
    excluded.insert(std::move(executable));
  }
  std::vector<std::string> included;
  for (auto& executable : discover_installed_applications())
    if (!excluded.count(executable)) included.push_back(std::move(executable));
  if (included.empty())
    return manager_error::invalid_input(
        "App-based split tunneling could not derive any included macOS apps from the current installation set.");
  std::vector<AppRule> rules;
  for (const auto& executable : included) {
    auto signature = fetch_code_signature(executable);
    if (!signature) continue;  // an unsigned or unreadable application only drops out
    rules.push_back({signature->signing_identifier, signature->designated_requirement, executable});
  }
  if (rules.empty())
    return manager_error::codesign(
        "App-based split tunneling could not build any usable macOS app rules from the installed application set.");
  return rules;
}

}  // namespace kivo::nem
