#include "split/lsof_peers.h"

#include <gtest/gtest.h>

#include "base/text.h"
#include "testing/macos_samples.h"

namespace kivo {
namespace {

TEST(LsofPeers, RemoteAddressOfAConnectionLine) {
  const std::pair<std::string, std::string> cases[] = {
      {"curl 4711 root 5u IPv4 0x1 0t0 TCP 192.168.1.5:50123->93.184.216.34:443 (ESTABLISHED)", "93.184.216.34"},
      {"app 1 u 7u IPv6 0x1 0t0 TCP [::1]:5000->[[2001:0db8:0::5]]:443", "2001:db8::5"},
      {"app 1 u 7u IPv6 0x1 0t0 UDP [::1]:5000->[fe80::1%en0]:443", "fe80::1"},
      {"app 1 u 7u IPv4 0x1 0t0 UDP *:5353->10.0.0.1", "10.0.0.1"},  // no port
      {"app 1 u 7u IPv4 0x1 0t0 TCP *:8080 (LISTEN)", ""},          // no "->"
      {"app 1 u 7u IPv4 0x1 0t0 TCP 1.2.3.4:1->", ""},                // nothing after it
      {"app 1 u 7u IPv4 0x1 0t0 TCP 1.2.3.4:1->example.com:443", ""},
  };
  for (const auto& [line, expected] : cases) {
    auto address = extract_remote_ip_from_lsof_line(line);
    EXPECT_EQ(address ? address->text() : "", expected) << line;
  }

  // What real Macs print; a dual-stack socket names its IPv4 peer IPv4-mapped.
  std::string output = testing::macos_sample("lsof") + testing::macos_sample("lsof dual-stack");
  std::vector<std::string> remotes;
  for (auto line : split_lines(output)) {
    auto address = extract_remote_ip_from_lsof_line(line);
    remotes.push_back(address ? address->text() + (address->v6 ? " v6" : " v4") : "");
  }
  EXPECT_EQ(remotes, (std::vector<std::string>{"31.13.83.36 v4", "140.82.114.26 v4", "198.252.206.25 v4",
                                               "fe80:4::aede:48ff:fe33:4455 v6", "", "17.253.144.10 v4"}));
}

TEST(LsofPeers, TrimmingKeepsTheNewestAndBreaksTiesByKey) {
  using Map = std::map<std::string, std::uint64_t>;
  const struct { Map in; std::size_t limit; Map out; } cases[] = {
      {{{"b", 10}, {"a", 10}, {"c", 5}}, 1, {{"a", 10}}},
      {{{"b", 1}, {"a", 1}}, 0, {}},
  };
  for (auto c : cases) {
    trim_last_seen_map_to_limit(c.in, c.limit);
    EXPECT_EQ(c.in, c.out);
  }
}

}  // namespace
}  // namespace kivo
