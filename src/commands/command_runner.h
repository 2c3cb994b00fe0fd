// The one way the helper runs a system tool and learns its outcome.
#pragma once

#include <string>
#include <string_view>
#include <vector>

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

CommandResult run_cmd(Env& env, const std::string& program, const std::vector<std::string>& args);
CommandResult run_cmd_owned(Env& env, const std::string& program, std::vector<std::string> args);
CommandResult run_cmd_owned_with_timeout(Env& env, const std::string& program, std::vector<std::string> args,
                                         TimeLimit limit);

}  // namespace kivo
