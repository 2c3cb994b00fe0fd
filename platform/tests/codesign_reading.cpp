// The manager's own reading of one executable's code signature, with codesign taken from the
// first argument instead of /usr/bin: the codesign stand-in's test checks its display against
// the parser that consumes it, not a copy of it.
#include <iostream>

#include "kivo_ne_manager/app_rules.h"
#include "kivo_ne_manager/posix_system.h"

namespace {

class StandinCodesign : public kivo::nem::System {
 public:
  explicit StandinCodesign(std::string codesign) : codesign_(std::move(codesign)) {}
  std::chrono::steady_clock::time_point now() override { return posix_.now(); }
  kivo::Result<std::string> read_standard_input() override { return posix_.read_standard_input(); }
  using Entries = std::vector<kivo::nem::DirectoryEntry>;
  kivo::Result<Entries> list_directory(const std::string& path) override { return posix_.list_directory(path); }
  bool is_directory(const std::string& path) override { return posix_.is_directory(path); }
  std::string home_directory() override { return posix_.home_directory(); }
  std::string resolve_symlinks(const std::string& path) override { return posix_.resolve_symlinks(path); }
  kivo::Result<kivo::nem::ProcessOutput> run_process(const std::string&, const std::vector<std::string>& args) override {
    return posix_.run_process(codesign_, args);
  }

 private:
  std::string codesign_;
  kivo::nem::PosixSystem posix_;
};

}  // namespace

// Prints the signing identifier and the designated requirement, a line each; or the manager's
// error on standard error, with status 1.
int main(int argc, char** argv) {
  if (argc != 3) return 2;  // kivo-codesign-reading CODESIGN EXECUTABLE
  StandinCodesign system(argv[1]);
  auto sig = kivo::nem::AppRuleBuilder(system).fetch_code_signature(argv[2]);
  if (sig) std::cout << sig->signing_identifier << "\n" << sig->designated_requirement << "\n";
  else std::cerr << sig.error() << "\n";
  return sig ? 0 : 1;
}
