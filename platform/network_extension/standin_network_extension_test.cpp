#include "platform/network_extension/standin_network_extension.h"

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
    // This provider takes a second to take its tunnel down and names its predecessor in a file.
    std::ofstream(settings.provider_program)
        << "#!/usr/bin/python3\nimport os, signal, sys, time\n"
           "open(sys.argv[1] + '/../started.' + str(os.getpid()), 'w').write(' '.join(sys.argv[3:]))\n"
           "signal.signal(signal.SIGTERM, lambda *a: (time.sleep(1), sys.exit(0)))\ntime.sleep(30)\n";
    chmod(settings.provider_program.c_str(), 0755);
  }
  ~Standin() override { std::filesystem::remove_all(dir); }

  // The completion's value, waited for; a failed load throws, which fails the test.
  template <class T, class Start>
  static T call(Start start) {
    std::promise<T> done;
    start([&](T value) { done.set_value(std::move(value)); });
    return done.get_future().get();
  }
  static std::vector<ManagerRef> load_all(NetworkExtension& ne) {
    return call<Result<std::vector<ManagerRef>>>([&](ManagersLoaded d) { ne.load_all_from_preferences(d); }).value();
  }
  static Status save(TunnelProviderManager& m) { return call<Status>([&](Done d) { m.save_to_preferences(d); }); }
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

// One profile's life as two kivo-ne-manager processes see it: saved, shared in save order, its
// connection started and stopped with a provider, then removed.
TEST_F(Standin, AProfileIsSharedBetweenProcessesAndItsConnectionFollowsTheProvider) {
  StandinNetworkExtension one(settings), two(settings);
  EXPECT_TRUE(load_all(two).empty());
  auto first = one.make_manager();
  auto& connection = first->connection();
  EXPECT_EQ(connection.status(), kVpnInvalid);  // before its first save
  EXPECT_EQ(connection.start_vpn_tunnel().error(), "The VPN configuration is invalid.");
  EXPECT_EQ(save(*first).error(), "Missing protocol or protocol has invalid type");
  first->set_protocol_configuration(protocol);
  ASSERT_TRUE(save(*first).ok());
  EXPECT_EQ(connection.status(), kVpnDisconnected);
  EXPECT_EQ(connection.start_vpn_tunnel().error(), "The VPN configuration is disabled.");
  first->set_enabled(true);
  ASSERT_TRUE(save(*first).ok());
  auto second = one.make_per_app_manager();
  second->set_protocol_configuration(protocol);
  ASSERT_TRUE(save(*second).ok());
  second->set_app_rules({{"com.a", "anchor apple", "/A"}});
  ASSERT_TRUE(save(*second).ok());  // saved again in place
  auto loaded = load_all(two);
  ASSERT_EQ(loaded.size(), 2u);
  EXPECT_TRUE(loaded[0]->app_rules().empty());
  EXPECT_EQ(loaded[1]->app_rules().size(), 1u);
  EXPECT_EQ(loaded[0]->protocol_configuration(), protocol);

  ASSERT_TRUE(connection.start_vpn_tunnel().ok());
  EXPECT_EQ(connection.status(), kVpnConnecting);  // this provider never reports connected
  ASSERT_TRUE(connection.start_vpn_tunnel().ok());  // already on its way: no second provider
  long pid = provider_pid();
  started_file(pid);
  // A start while the last tunnel goes down starts a new provider after it.
  connection.stop_vpn_tunnel();
  EXPECT_EQ(connection.status(), kVpnDisconnecting);
  ASSERT_TRUE(connection.start_vpn_tunnel().ok());
  EXPECT_EQ(connection.status(), kVpnConnecting);
  long next = provider_pid();
  EXPECT_NE(next, pid);
  std::ifstream started(started_file(next));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(started), {}), std::to_string(pid));
  connection.stop_vpn_tunnel();
  // The provider is gone without reporting: a dead provider serves no tunnel.
  for (int i = 0; i < 200 && connection.status() != kVpnDisconnected; ++i) std::this_thread::sleep_for(20ms);
  EXPECT_EQ(connection.status(), kVpnDisconnected);  // the store still says disconnecting: `next` is gone
  EXPECT_FALSE(provider_alive(getpid()));             // alive, but no provider

  ASSERT_TRUE(call<Status>([&](Done d) { loaded[0]->remove_from_preferences(std::move(d)); }).ok());
  EXPECT_EQ(load_all(one).size(), 1u);
  EXPECT_EQ(call<Status>([&](Done d) { first->load_from_preferences(std::move(d)); }).error(),
            "The VPN configuration could not be found.");
  EXPECT_EQ(connection.status(), kVpnInvalid);  // removed
}

}  // namespace
}  // namespace kivo::nem::standin
