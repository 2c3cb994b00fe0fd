#include "base/ip.h"

#include <gtest/gtest.h>

namespace kivo {
namespace {

bool is_public(const std::string& text) { return is_public_address(*parse_ip_address(text)); }

TEST(IpAddress, PrivateLocalAndMulticastRangesAreNotPublic) {
  for (const std::string text :
       {"0.0.0.0", "127.0.0.1", "127.255.255.255", "10.1.2.3", "172.16.0.1", "172.31.255.255", "192.168.1.5",
        "169.254.10.1", "224.0.0.251", "239.255.255.250", "255.255.255.255", "::", "::1", "fe80::1", "febf::1",
        "fc00::1", "fd12:3456::1", "ff02::fb"})
    EXPECT_FALSE(is_public(text)) << text;
  for (const std::string text : {"1.1.1.1", "17.1.2.3", "172.15.255.255", "172.32.0.1", "192.169.0.1", "169.255.0.1",
                                 "223.255.255.255", "240.0.0.1", "255.255.255.254", "11.0.0.1", "2606:4700::6810:85e5",
                                 "fec0::1", "::2", "2001:db8::1"})
    EXPECT_TRUE(is_public(text)) << text;
}

// Whole IPv4 and IPv6 addresses pass the tunnel's input checks
// (TunnelTest.ChecksInputsInOrderBeforeTouchingTheSystem), and formatted ones are every route
// command line.
TEST(Ip, AcceptsOnlyWholeAddressTexts) {
  EXPECT_FALSE(is_ip_address("192.0.2.01"));
  EXPECT_FALSE(is_ip_address(std::string_view("1.2.3.4\0x", 9)));
  EXPECT_EQ(parse_ipv4(std::string_view("1.2.3.4\0", 8)), std::nullopt);
}

// Entries are read as split routes are (NormalizeSplitRoute: trimmed, /33 and 8/1 refused); one
// that is refused contains nothing, and a host is a /32.
TEST(RouteContainsIpv4, MatchesHostsAndNetworks) {
  struct { const char* entry; const char* address; bool contained; } cases[] = {
      {"10.0.0.0/8", "10.255.1.2", true},       {"10.0.0.0/8", "11.0.0.1", false},
      {"10.1.2.3/8", "10.9.9.9", true},         {"0.0.0.0/0", "255.255.255.255", true},
      {"192.168.1.7", "192.168.1.70", false},   {"10.0.0.0/+8", "10.0.0.1", true},
      {"fd00::1", "0.0.0.0", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(route_contains_ipv4(c.entry, *parse_ipv4(c.address)), c.contained) << c.entry << " " << c.address;
}

TEST(IpAddress, LoopbackThisNetworkMulticastAndReservedAreSpecial) {
  auto special = [](const std::string& text) { return is_special_address(*parse_ip_address(text)); };
  for (const std::string text : {"0.0.0.0", "0.1.2.3", "127.0.0.1", "224.0.0.1", "239.255.255.250", "240.0.0.1",
                                 "255.255.255.255", "::", "::1", "ff02::1"})
    EXPECT_TRUE(special(text)) << text;
  for (const std::string text : {"1.0.0.0", "126.255.255.255", "128.0.0.1", "223.255.255.255", "10.0.0.1",
                                 "192.168.1.1", "::2", "fe80::1", "2001:db8::1"})
    EXPECT_FALSE(special(text)) << text;
}

}  // namespace
}  // namespace kivo
