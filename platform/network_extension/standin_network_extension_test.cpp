#include "platform/network_extension/standin_network_extension.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

namespace kivo::nem::standin {
namespace {

using namespace std::chrono_literals;

// Two framework instances on one store stand for two kivo-ne-manager processes.
struct Standin : ::testing::Test {
  Standin() {
    char pattern[] = "/tmp/kivo-ne-standin-test-XXXXXX";
    dir = mkdtemp(pattern);
    settings.store_dir = dir + "/store";
    settings.provider_program = dir + "/kivo-ne-provider";
    std::ofstream(settings.provider_program) << "#!/usr/bin/python3\nimport time\ntime.sleep(30)\n";
    chmod(settings.provider_program.c_str(), 0755);
  }
  ~Standin() override { std::filesystem::remove_all(dir); }

  std::vector<ManagerRef> load_all(StandinNetworkExtension& ne) {
    std::promise<Result<std::vector<ManagerRef>>> loaded;
    ne.load_all_from_preferences([&](auto result) { loaded.set_value(std::move(result)); });
    auto result = loaded.get_future().get();
    EXPECT_TRUE(result.ok()) << result.error();
    return result.ok() ? *result : std::vector<ManagerRef>{};
  }
  static Status call(const std::function<void(Done)>& start) {
    std::promise<Status> done;
    start([&](Status s) { done.set_value(std::move(s)); });
    return done.get_future().get();
  }
  static Status save(TunnelProviderManager& m) { return call([&](Done d) { m.save_to_preferences(std::move(d)); }); }
  ManagerRef saved_enabled(ManagerRef m) {
    m->set_protocol_configuration(protocol);
    m->set_enabled(true);
    EXPECT_TRUE(save(*m).ok());
    return m;
  }
  static int eventually(VpnConnection& c, int wanted) {
    for (int i = 0; i < 200 && c.status() != wanted; ++i) std::this_thread::sleep_for(20ms);
    return c.status();
  }
  // The provider writes this file once its signal handler is in place.
  std::string started_file(long pid) {
    std::string path = dir + "/started." + std::to_string(pid);
    for (int i = 0; i < 200 && !std::filesystem::exists(path); ++i) std::this_thread::sleep_for(20ms);
    return path;
  }
  long provider_pid() { return PreferencesStore(settings.store_dir).read()->connections.begin()->second.pid; }

  std::string dir;
  StandinSettings settings;
  TunnelProviderProtocol protocol{"com.brevandi.kivovpn.desktop.tunnel", "Kivo VPN"};
};

TEST_F(Standin, ProfilesAreSharedBetweenProcessesInSaveOrder) {
  StandinNetworkExtension one(settings), two(settings);
  EXPECT_TRUE(load_all(two).empty());
  auto first = one.make_manager();
  EXPECT_EQ(save(*first).error(), "Missing protocol or protocol has invalid type");
  saved_enabled(first);
  auto second = saved_enabled(one.make_per_app_manager());
  second->set_app_rules({{"com.a", "anchor apple", "/A"}});
  ASSERT_TRUE(save(*second).ok());  // saved again in place

  auto loaded = load_all(two);
  ASSERT_EQ(loaded.size(), 2u);
  EXPECT_TRUE(loaded[0]->app_rules().empty());
  EXPECT_EQ(loaded[1]->app_rules().size(), 1u);
  EXPECT_EQ(loaded[0]->protocol_configuration(), protocol);

  ASSERT_TRUE(call([&](Done d) { loaded[0]->remove_from_preferences(std::move(d)); }).ok());
  EXPECT_EQ(load_all(one).size(), 1u);
  EXPECT_EQ(call([&](Done d) { first->load_from_preferences(std::move(d)); }).error(),
            "The VPN configuration could not be found.");
  EXPECT_EQ(first->connection().status(), kVpnInvalid);  // removed
}

TEST_F(Standin, ConnectionGoesThroughItsStatesWithTheProvider) {
  StandinNetworkExtension ne(settings);
  auto m = ne.make_manager();
  EXPECT_EQ(m->connection().status(), kVpnInvalid);  // before its first save
  EXPECT_EQ(m->connection().start_vpn_tunnel().error(), "The VPN configuration is invalid.");
  m->set_protocol_configuration(protocol);
  ASSERT_TRUE(save(*m).ok());
  EXPECT_EQ(m->connection().status(), kVpnDisconnected);
  EXPECT_EQ(m->connection().start_vpn_tunnel().error(), "The VPN configuration is disabled.");
  m->set_enabled(true);
  ASSERT_TRUE(save(*m).ok());

  ASSERT_TRUE(m->connection().start_vpn_tunnel().ok());
  EXPECT_EQ(m->connection().status(), kVpnConnecting);  // this provider never reports connected
  ASSERT_TRUE(m->connection().start_vpn_tunnel().ok());  // already on its way: no second provider
  long pid = provider_pid();
  EXPECT_TRUE(provider_alive(pid));

  m->connection().stop_vpn_tunnel();
  // The provider is gone without reporting: a dead provider serves no tunnel.
  EXPECT_EQ(eventually(m->connection(), kVpnDisconnected), kVpnDisconnected);
  EXPECT_FALSE(provider_alive(pid));
  EXPECT_FALSE(provider_alive(getpid()));  // alive, but no provider
}

TEST_F(Standin, AStartWhileTheLastTunnelGoesDownStartsANewProviderAfterIt) {
  // This provider takes a second to take its tunnel down and names its predecessor in a file.
  std::ofstream(settings.provider_program)
      << "#!/usr/bin/python3\nimport os, signal, sys, time\n"
         "open(sys.argv[1] + '/../started.' + str(os.getpid()), 'w').write(' '.join(sys.argv[3:]))\n"
         "signal.signal(signal.SIGTERM, lambda *a: (time.sleep(1), sys.exit(0)))\n"
         "time.sleep(30)\n";
  StandinNetworkExtension ne(settings);
  auto m = saved_enabled(ne.make_manager());
  ASSERT_TRUE(m->connection().start_vpn_tunnel().ok());
  long first = provider_pid();
  started_file(first);

  m->connection().stop_vpn_tunnel();
  EXPECT_EQ(m->connection().status(), kVpnDisconnecting);
  ASSERT_TRUE(m->connection().start_vpn_tunnel().ok());
  EXPECT_EQ(m->connection().status(), kVpnConnecting);
  long second = provider_pid();
  EXPECT_NE(second, first);
  std::ifstream started(started_file(second));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(started), {}), std::to_string(first));
  m->connection().stop_vpn_tunnel();
}

}  // namespace
}  // namespace kivo::nem::standin
