#include "dns/network_services.h"

#include <gtest/gtest.h>

#include "testing/fake_env.h"
#include "testing/macos_samples.h"

namespace kivo {
namespace {

using Servers = std::vector<std::string>;

// A disabled service, and a listing of disabled ones only, are read by the DNS proxy's world.
TEST(NetworkServices, ListingKeepsEnabledServicesInOrder) {
  EXPECT_EQ(parse_network_services("An asterisk (*) denotes that a network service is disabled.\r\n"
                                   "  USB 10/100/1000 LAN  \r\n\r\nWi-Fi\nWi-Fi"),
            (std::vector<std::string>{"USB 10/100/1000 LAN", "Wi-Fi", "Wi-Fi"}));
  EXPECT_EQ(parse_network_services(testing::macos_sample("networksetup listallnetworkservices")),
            (std::vector<std::string>{"Wi-Fi", "USB 10/100/1000 LAN", "Thunderbolt Bridge", "iPhone USB"}));
}

// The servers as read, and whether they are exactly the one server 127.0.0.1.
TEST(NetworkServices, ServersAreLinesUnlessTheToolSaysNoneAreSet) {
  const struct { const char* output; DnsServers servers; bool matches = false; } cases[] = {
      {"THERE AREN'T ANY DNS SERVERS SET ON Thunderbolt Bridge.", std::nullopt},
      {"There are not any DNS Servers set on Wi-Fi.\n", std::nullopt},
      {"\n  \n", std::nullopt},
      {"127.0.0.1\n", Servers{"127.0.0.1"}, true},
      {"127.0.0.10\n", Servers{"127.0.0.10"}},
      {"1.1.1.1\n127.0.0.1\n", Servers{"1.1.1.1", "127.0.0.1"}},
      {" 1.1.1.1 \r\n\r\n2606:4700::1111\nnot-an-address\n", Servers{"1.1.1.1", "2606:4700::1111", "not-an-address"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.output);
    EXPECT_EQ(parse_dns_servers(c.output), c.servers);
    testing::FakeEnv env;
    env.script_ok("networksetup -getdnsservers Wi-Fi", c.output);
    EXPECT_EQ(*dns_servers_match(env, "Wi-Fi", "127.0.0.1"), c.matches);
  }
  EXPECT_EQ(parse_dns_servers(testing::macos_sample("networksetup getdnsservers none")), std::nullopt);
}

TEST(NetworkServices, RecognisesOnlyTheMissingServiceErrors) {
  const std::pair<std::string, bool> cases[] = {
      {"Could Not Find Service", true},
      {"The service DOES NOT EXIST", true},
      {"** Error: The parameters were not valid.", false},
      {"Failed setting DNS for 'Wi-Fi': permission denied", false},
      // A Mac prints this one on standard output alone, which then is the error text as it stands
      // (CommandOutputToResult's "failure falls back to stdout").
      {testing::macos_sample("networksetup unknown service stdout"), true},
  };
  for (const auto& [error, missing] : cases) EXPECT_EQ(is_missing_network_service_error(error), missing) << error;
}

}  // namespace
}  // namespace kivo
