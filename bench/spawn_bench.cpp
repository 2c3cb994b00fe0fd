// The command runner against the least a program can do to run a tool: posix_spawn and
// waitpid of /bin/true. The runner also makes its pipes, reads both of them to their end and
// applies the descriptor hygiene the daemon needs; this measures what that costs.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>

#include "commands/command_runner.h"
#include "os/real_env.h"

extern char** environ;

namespace {

void run_cmd_true(benchmark::State& state) {
  kivo::RealEnv env;
  for (auto _ : state) {
    if (!kivo::run_cmd(env, "/bin/true", {})) state.SkipWithError("run_cmd /bin/true failed");
  }
}
BENCHMARK(run_cmd_true)->UseRealTime()->Unit(benchmark::kMicrosecond);

void run_cmd_true_baseline(benchmark::State& state) {
  char program[] = "/bin/true";
  char* argv[] = {program, nullptr};
  for (auto _ : state) {
    pid_t pid = 0;
    int status = 0;
    if (posix_spawn(&pid, program, nullptr, nullptr, argv, environ) != 0 || waitpid(pid, &status, 0) != pid)
      state.SkipWithError("posix_spawn /bin/true failed");
  }
}
BENCHMARK(run_cmd_true_baseline)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
