#include "commands/command_runner.h"

#include <gtest/gtest.h>

#include "os/real_env.h"

namespace kivo {
namespace {

// The real runner against real processes.
TEST(RealRunner, CapturesStreamsAndStatusDrainsLargeOutputAndKillsAToolAtItsLimit) {
  RealEnv env;
  auto sh = [&](const std::string& script, std::optional<TimeLimit> limit = std::nullopt) {
    return limit ? run_cmd_owned_with_timeout(env, "sh", {"-c", script}, *limit) : run_cmd(env, "sh", {"-c", script});
  };
  for (auto limit : std::vector<std::optional<TimeLimit>>{std::nullopt, TimeLimit{5, 0}}) {
    EXPECT_EQ(*sh("echo data; echo warn >&2", limit), "data\n\nwarn\n");
    auto failed = sh("echo out; exit 3", limit);
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error(), "out\n");
  }
  EXPECT_EQ(*sh("cat; echo end"), "end\n");  // the plain runner gives the tool no input to wait for
  for (const auto& missing :
       {run_cmd(env, "/nonexistent/tool", {}), run_cmd_owned_with_timeout(env, "kivo-no-such-tool", {}, {1, 0})})
    EXPECT_EQ(missing.ok() ? "ran" : missing.error(), "No such file or directory");

  // Closed output is no end: the tool runs until it exits or its limit kills it.
  EXPECT_EQ(*sh("exec >&- 2>&-; sleep 0.3", TimeLimit{5, 0}), "");
  auto start = std::chrono::steady_clock::now();
  // A limit is named in whole milliseconds; one with its pipes open ends at the limit too
  // (RunProcess.ARunWithoutALimitOfItsOwnEndsAtTheBound).
  auto r = sh("exec >&- 2>&-; sleep 5", TimeLimit{0, 300999999});
  EXPECT_EQ(r.ok() ? "ran" : r.error(), "sh timed out after 300 ms");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));

  // A tool that prints far more than a pipe holds must still finish within its limit.
  r = sh("head -c 1000000 /dev/zero | tr '\\0' x; head -c 300000 /dev/zero | tr '\\0' y >&2", TimeLimit{10, 0});
  ASSERT_TRUE(r.ok()) << r.error();
  EXPECT_EQ(r->size(), 1000000u + 1 + 300000u);
}

}  // namespace
}  // namespace kivo
