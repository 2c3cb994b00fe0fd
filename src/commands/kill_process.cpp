#include "commands/kill_process.h"

#include <string>

#include "base/process_id.h"
#include "commands/command_runner.h"

namespace kivo {

void kill_recorded_pid(Env& env, std::uint64_t pid) {
  if (is_single_process_id(pid)) (void)run_cmd(env, "kill", {"-9", std::to_string(pid)});
}

}  // namespace kivo
