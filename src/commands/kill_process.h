// Ending a recorded process with the system's kill tool, never a group of them.
#pragma once

#include <cstdint>
#include <string>

#include "os/env.h"

namespace kivo {

// kill -9 PID through the runner, result ignored, when the process runs the program (a path
// the system's record of the process matches as given or resolved). A pid that does not name
// one process (is_single_process_id), or names another program, is left alone.
void kill_recorded_pid(Env& env, std::uint64_t pid, const std::string& program);

}  // namespace kivo
