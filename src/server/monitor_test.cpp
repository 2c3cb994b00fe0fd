#include "server/monitor.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace kivo
