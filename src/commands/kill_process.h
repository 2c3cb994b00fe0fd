// Ending a recorded process with the system's kill tool, never a group of them.
#pragma once

#include <cstdint>

#include "os/env.h"

namespace kivo {

// kill -9 PID through the runner, result ignored; a pid that does not name one process
// (is_single_process_id) is left alone.
void kill_recorded_pid(Env& env, std::uint64_t pid);

}  // namespace kivo
