#include "server/monitor.h"

#include <gtest/gtest.h>

#include "server/monitors.h"
#include "testing/fake_env.h"

namespace kivo {
namespace {

using std::chrono::milliseconds;

TEST(Monitor, PausesFirstThenAsEachPassChooses) {
  testing::FakeEnv env;
  std::vector<milliseconds> slept_before_pass;
  int passes = 0;
  Monitor monitor{milliseconds(5000), [&] {
                    slept_before_pass.push_back(env.slept);
                    return milliseconds(++passes % 2 ? 1000 : 3000);
                  }};
  run_monitor_rounds(env, monitor, 4);
  EXPECT_EQ(slept_before_pass, (std::vector<milliseconds>{milliseconds(5000), milliseconds(6000), milliseconds(9000),
                                                          milliseconds(10000)}));
  Monitor at_once{milliseconds(0), [&] { return milliseconds(2000); }};
  env.slept = milliseconds(0);
  run_monitor_rounds(env, at_once, 3);
  EXPECT_EQ(env.slept, milliseconds(4000));  // no pause before the first pass, none after the last
}

// A monitor without its thread would leave its feature unwatched: starting ends there, with the
// daemon's fixed words, and runs nothing of the monitor.
TEST(Monitor, AThreadThatCannotBeCreatedStopsTheStart) {
  testing::FakeEnv env;
  Features features(env);
  for (int refused : {1, 3}) {
    int asked = 0;
    auto starter = [&](std::function<void()>) { return ++asked != refused; };
    EXPECT_EQ(start_monitors(features, starter).error(), "failed to spawn thread");
    EXPECT_EQ(asked, refused);
  }
  EXPECT_TRUE(env.commands().empty());
}

}  // namespace
}  // namespace kivo
