// The one way the helper runs a system tool and learns its outcome.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "os/command_outcome.h"
#include "os/env.h"

namespace kivo {

CommandResult run_cmd(Env& env, const std::string& program, const std::vector<std::string>& args);
CommandResult run_cmd_owned(Env& env, const std::string& program, std::vector<std::string> args);
CommandResult run_cmd_owned_with_timeout(Env& env, const std::string& program, std::vector<std::string> args,
                                         TimeLimit limit);

}  // namespace kivo
