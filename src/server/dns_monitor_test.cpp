#include <gtest/gtest.h>

#include "server/monitors.h"
#include "testing/fake_env.h"

namespace kivo {
namespace {

using std::chrono::milliseconds;

struct Stop {};

// Ends the monitor's endless loop at its third pause, noting how many probes came before each.
struct Clock : testing::FakeEnv {
  std::vector<std::pair<milliseconds, std::size_t>> pauses;  // pause, probes before it
  void sleep_for(milliseconds pause) override {
    pauses.emplace_back(pause, tcp_probes.size());
    if (pauses.size() == 3) throw Stop{};
  }
};

// The first monitor started is the DNS watchdog: it waits 5 s before its first look, looks every
// 5 s after, and names itself "watchdog" when it finds the local proxy gone.
TEST(DnsMonitor, LooksEveryFiveSecondsAndRestoresAsTheWatchdog) {
  Clock env;
  Features features(env);
  env.files[kDnsStatePath] =
      R"({"target_dns":"127.0.0.1","services":[{"service":"Wi-Fi","dns_servers":null}],"pf_token":"7","updated_at":1})";
  std::vector<std::function<void()>> loops;
  ASSERT_TRUE(start_monitors(features, [&](std::function<void()> loop) {
                loops.push_back(std::move(loop));
                return true;
              }).ok());
  EXPECT_THROW(loops.at(0)(), Stop);
  EXPECT_EQ(env.pauses, (std::vector<std::pair<milliseconds, std::size_t>>{
                            {milliseconds(5000), 0}, {milliseconds(5000), 1}, {milliseconds(5000), 1}}));
  EXPECT_EQ(env.stderr_lines,
            std::vector<std::string>{"[Tarnwick DNS] stale state detected during watchdog; local proxy "
                                     "127.0.0.1:1053 unreachable. Restoring DNS."});
  EXPECT_FALSE(env.files.count(kDnsStatePath));
}

}  // namespace
}  // namespace kivo
