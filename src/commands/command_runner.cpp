#include "commands/command_runner.h"

namespace kivo {

CommandResult run_cmd(Env& env, const std::string& program, const std::vector<std::string>& args) {
  return env.run_command(program, args, std::nullopt);
}

CommandResult run_cmd_owned(Env& env, const std::string& program, std::vector<std::string> args) {
  return env.run_command(program, args, std::nullopt);
}

CommandResult run_cmd_owned_with_timeout(Env& env, const std::string& program, std::vector<std::string> args,
                                         TimeLimit limit) {
  return env.run_command(program, args, limit);
}

}  // namespace kivo
