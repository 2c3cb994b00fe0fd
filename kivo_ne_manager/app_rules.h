// Per-application rules: the installed applications that are not excluded, each identified by
// its code signature.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "kivo_ne_manager/network_extension.h"
#include "kivo_ne_manager/system.h"

namespace kivo::nem {

inline constexpr const char* kCodesignPath = "/usr/bin/codesign";
inline constexpr int kSearchDepth = 3;

struct CodeSignature {
  std::string signing_identifier;
  std::string designated_requirement;
};

// What codesign's combined output says; the last matching line of each kind wins. No I/O.
struct CodesignReading {
  std::optional<std::string> signing_identifier;
  std::optional<std::string> designated_requirement;
};
CodesignReading read_codesign_output(std::string_view combined);

// NSString's pathExtension: of the last component, trailing "/" ignored.
std::string path_extension(std::string_view path);

class AppRuleBuilder {
 public:
  explicit AppRuleBuilder(System& system) : system_(system) {}

  Result<std::vector<AppRule>> build_included_app_rules(const std::vector<std::string>& excluded_paths);
  std::vector<std::string> discover_installed_applications();
  void collect_applications(const std::string& directory, int remaining_depth, std::set<std::string>& seen,
                            std::vector<std::string>& executables);
  Result<std::string> canonical_executable_path(std::string_view path);
  Result<CodeSignature> fetch_code_signature(const std::string& executable);

 private:
  System& system_;
};

}  // namespace kivo::nem
