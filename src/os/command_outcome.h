// How a finished tool run becomes a command result. It sits beside the process code that
// produces the outcome, so the seam's real side needs nothing from the runner above it.
#pragma once

#include <string>
#include <string_view>

#include "os/env.h"

namespace kivo {

struct ProcessExit {
  bool exited_normally = false;  // false when ended by a signal
  int status = 0;                // exit status when exited_normally
};

// Reduces what a finished tool printed and how it ended to one result.
CommandResult command_output_to_result(std::string_view stdout_bytes, std::string_view stderr_bytes,
                                       ProcessExit exit);

std::string timed_out_message(std::string_view program, const TimeLimit& limit);

}  // namespace kivo
