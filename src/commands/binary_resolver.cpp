#include "commands/binary_resolver.h"

namespace kivo {
namespace {

// "" when the path has no parent ("/" or a bare name).
std::string parent_directory(const std::string& path) {
  auto slash = path.find_last_of('/');
  if (slash == std::string::npos || path == "/") return "";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string append_component(std::string base, const std::string& component) {
  if (base.empty() || base.back() != '/') base += '/';
  return base + component;
}

// Three levels above the installed helper's real location: where the application's support
// folder lives when the helper was installed from it.
std::optional<std::string> support_root(Env& env) {
  auto resolved = env.canonical_path(kInstalledHelper);
  if (!resolved) return std::nullopt;
  std::string root = *resolved;
  for (int i = 0; i < 3; ++i) {
    root = parent_directory(root);
    if (root.empty()) return std::nullopt;
  }
  return root;
}

}  // namespace

std::vector<std::string> binary_candidates(Env& env, const std::string& name) {
  std::vector<std::string> candidates = {
      std::string(kPrivilegedHelperTools) + "/" + name,
      std::string(kAppResources) + "/binaries/macos/x86_64/" + name,
      std::string(kAppResources) + "/binaries/macos/" + name,
  };
  if (auto root = support_root(env)) {
    std::string macos = *root;
    for (const char* part : {"Application Support", "KivoVPN", "binaries", "macos"}) macos = append_component(macos, part);
    candidates.push_back(append_component(append_component(macos, "x86_64"), name));
    candidates.push_back(append_component(macos, name));
  }
  return candidates;
}

Result<std::string> resolve_binary_path(Env& env, const std::string& name) {
  for (const auto& candidate : binary_candidates(env, name))
    if (env.path_exists(candidate)) return candidate;
  return fail("Missing privileged binary '" + name + "'");
}

}  // namespace kivo
