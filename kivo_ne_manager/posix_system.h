// The operating system behind kivo-ne-manager, on macOS and on Linux alike.
#pragma once

#include "kivo_ne_manager/system.h"

namespace kivo::nem {

class PosixSystem final : public System {
 public:
  std::chrono::steady_clock::time_point now() override;
  Result<std::string> read_standard_input() override;
  Result<std::vector<DirectoryEntry>> list_directory(const std::string& path) override;
  bool is_directory(const std::string& path) override;
  std::string home_directory() override;
  std::string resolve_symlinks(const std::string& path) override;
  Result<ProcessOutput> run_process(const std::string& program, const std::vector<std::string>& args) override;
};

}  // namespace kivo::nem
