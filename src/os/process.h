// Child processes through posix_spawn: the real side of the command seam.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "os/command_outcome.h"
#include "os/descriptors.h"
#include "os/env.h"

namespace kivo {

// No tool the helper runs takes long; one that hangs must not hold a feature's lock, or a
// client's connection, for ever. A run without a limit of its own is killed past this bound and
// fails with the usual time-out text.
inline constexpr TimeLimit kToolRunBound{30, 0};

CommandResult run_process(const std::string& program, const std::vector<std::string>& args,
                          std::optional<TimeLimit> limit, TimeLimit bound = kToolRunBound);
struct CapturedRun {
  ProcessExit exit;
  std::string standard_output;
  std::string standard_error;
};
// Runs a tool to its end with standard input on /dev/null, keeping both streams apart.
Result<CapturedRun> run_process_captured(const std::string& program, const std::vector<std::string>& args);

bool probe_process(const std::string& program, const std::vector<std::string>& args,
                   TimeLimit bound = kToolRunBound);
Result<std::unique_ptr<ChildProcess>> spawn_process(const std::string& program, const std::vector<std::string>& args);

}  // namespace kivo
