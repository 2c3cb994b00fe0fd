#include "commands/kill_process.h"

#include <string>

#include "base/process_id.h"
#include "commands/command_runner.h"

namespace kivo {

void kill_recorded_pid(Env& env, std::uint64_t pid, const std::string& program) {
  if (!is_single_process_id(pid)) return;
  auto running = env.process_executable(static_cast<std::uint32_t>(pid));
  if (!running) return;
  if (*running != program) {
    auto resolved = env.canonical_path(program);
    if (!resolved || *running != *resolved) return;
  }
  (void)run_cmd(env, "kill", {"-9", std::to_string(pid)});
}

}  // namespace kivo
