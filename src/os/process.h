// Child processes through posix_spawn: the real side of the command seam.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "os/descriptors.h"
#include "os/env.h"

namespace kivo {

CommandResult run_process(const std::string& program, const std::vector<std::string>& args,
                          std::optional<TimeLimit> limit);
bool probe_process(const std::string& program, const std::vector<std::string>& args);
Result<std::unique_ptr<ChildProcess>> spawn_process(const std::string& program, const std::vector<std::string>& args);

}  // namespace kivo
