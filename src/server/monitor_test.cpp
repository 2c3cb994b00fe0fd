#include "server/monitor.h"

#include <gtest/gtest.h>

#include "dns/dns_state.h"
#include "server/monitors.h"
#include "testing/fake_env.h"

namespace kivo {
namespace {

using std::chrono::milliseconds;
using namespace std::chrono_literals;

// Ends a monitor's endless loop at its third pause, noting how many probes came before each.
struct Stop {};
struct Clock : testing::FakeEnv {
  std::vector<std::pair<milliseconds, std::size_t>> pauses;  // pause, probes before it
  void sleep_for(milliseconds pause) override {
    pauses.emplace_back(pause, tcp_probes.size());
    if (pauses.size() == 3) throw Stop{};
  }
};

// A monitor without its thread would leave its feature unwatched: starting ends there, with the
// daemon's fixed words, and runs nothing of the monitor. The first monitor started is the DNS
// watchdog: it waits 5 s before its first look, looks every 5 s after, and names itself
// "watchdog" when it finds the local proxy gone; that it restores then is also why it probes no
// more (DnsProxy.RecoveryRestoresOnlyALoopbackTargetWhoseProxyIsGone). That a monitor without a
// first pause starts at once, then waits what each pass chose and not after the last, is the
// steering and custom split monitor tests' (their total pause).
TEST(Monitor, AThreadThatCannotBeCreatedStopsTheStartAndTheDnsWatchdogLooksEveryFiveSeconds) {
  Clock env;
  Features features(env);
  env.files[kDnsStatePath] =
      R"({"target_dns":"127.0.0.1","services":[{"service":"Wi-Fi","dns_servers":null}],"pf_token":"7","updated_at":1})";
  for (int refused : {1, 3}) {
    int asked = 0;
    auto starter = [&](std::function<void()>) { return ++asked != refused; };
    EXPECT_EQ(start_monitors(features, starter).error(), "failed to spawn thread");
    EXPECT_EQ(asked, refused);
  }
  EXPECT_TRUE(env.commands().empty() && env.tcp_probes.empty() && env.pauses.empty());

  std::vector<std::function<void()>> loops;
  ASSERT_TRUE(start_monitors(features, [&](std::function<void()> loop) {
                loops.push_back(std::move(loop));
                return true;
              }).ok());
  EXPECT_THROW(loops.at(0)(), Stop);
  EXPECT_EQ(env.pauses, (std::vector<std::pair<milliseconds, std::size_t>>{{5000ms, 0}, {5000ms, 1}, {5000ms, 1}}));
  EXPECT_EQ(env.stderr_lines, std::vector<std::string>{"[Tarnwick DNS] stale state detected during watchdog; local proxy "
                                                       "127.0.0.1:1053 unreachable. Restoring DNS."});
}

}  // namespace
}  // namespace kivo
