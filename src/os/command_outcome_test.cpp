#include "os/command_outcome.h"

#include <gtest/gtest.h>

namespace kivo {
namespace {

// Data and a warning joined, and a failure without stderr given its stdout, are the real
// runner's first cases (RealRunner.CapturesStreamsAndStatusDrainsLargeOutputAndKillsAToolAtItsLimit).
TEST(CommandOutputToResult, FollowsTheOutcomeTable) {
  const struct { const char *name, *out, *err; ProcessExit exit; bool ok; const char* text; } cases[] = {
      {"data only", "data\n", "", {true, 0}, true, "data\n"},
      {"warning only", "  \n", "warn", {true, 0}, true, "warn"},
      {"blank stderr ignored", "data", " \n\t", {true, 0}, true, "data"},
      {"failure prefers stderr", "out", "bad", {true, 1}, false, "bad"},
      {"silent failure", "", "", {true, 1}, false, ""},
      {"killed by a signal is a failure", "out", "", {false, 9}, false, "out"},
      {"invalid UTF-8 replaced", "a\xff" "b", "", {true, 0}, true, "a\xEF\xBF\xBD" "b"},
  };
  for (const auto& c : cases) {
    auto r = command_output_to_result(c.out, c.err, c.exit);
    EXPECT_EQ(r.ok(), c.ok) << c.name;
    EXPECT_EQ(r.ok() ? *r : r.error(), c.text) << c.name;
  }
}

}  // namespace
}  // namespace kivo
