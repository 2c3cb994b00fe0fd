#include "steering/flow_parsers.h"

#include <gtest/gtest.h>

#include "steering/public_address.h"
#include "testing/macos_samples.h"

namespace kivo {
namespace {

using Strings = std::set<std::string>;
using Snapshot = PacketSteeringObservationSnapshot;

// Nettop's output, field by field, remote end by remote end, then flow by flow.
TEST(NettopFlows, QuotedFieldsRemoteEndsInEveryFormAndFlowsUnderTrackedProcessesBecomeCandidates) {
  const struct { std::string line; std::vector<std::string> fields; } cases[] = {
      {"a,b,,c", {"a", "b", "", "c"}}, {"", {""}}, {R"("",x)", {"", "x"}}, {R"(a"b"c,d)", {"abc", "d"}},
      {R"("say ""hi""",b)", {R"(say "hi")", "b"}}, {R"(a,"unterminated, still one)", {"a", "unterminated, still one"}},
  };
  for (const auto& c : cases) EXPECT_EQ(split_nettop_csv_line(c.line), c.fields) << c.line;

  // A remote end gives its host in every form; the flows below hold an IPv6 and a dual-stack one
  // whose port follows a "." (cutting at the last ":" would name another host).
  const std::pair<std::string, std::optional<std::string>> remotes[] = {
      {"17.1.2.3:443", "17.1.2.3"}, {"17.1.2.3.443", "17.1.2.3"}, {"17.1.2.3", "17.1.2.3"},
      {"[2001:db8::5]:443", "2001:db8::5"}, {"[[fe80::1%en0]]:443", "fe80::1"}, {"fe80::1%utun3.5353", "fe80::1"},
      {"localhost:443", std::nullopt}, {"1.2.3:443", std::nullopt}, {"", std::nullopt}, {":", std::nullopt},
  };
  for (const auto& [remote, expected] : remotes) {
    auto address = parse_nettop_remote_address(remote);
    EXPECT_EQ(address ? std::optional(address->text()) : std::nullopt, expected) << remote;
  }

  // Flows under tracked processes become destinations and candidates.
  std::string output = "time,,interface,state,bytes_in,bytes_out,rx_dupe,rx_ooo,re-tx,rtt_avg,rcvsize\n"
                       "12:00:00.1,tcp4 10.0.0.2:1<->9.9.9.9:443,en0,Established,\n"  // before any process
                       "12:00:00.1,firefox.4711,,,\n"
                       "12:00:00.1,tcp4 192.168.1.5:50000<->17.1.2.3:443,utun4,Established,\n"
                       "12:00:00.1,tcp4 192.168.1.5:50001<->17.1.2.3:443,utun4,Established,\r\n"
                       "12:00:00.1,tcp4 192.168.1.5:50003<->8.8.8.8:53,en0,,\n"
                       "12:00:00.1,tcp6 2001:db8::2.50004<->2606:4700::6810:85e5.443<->extra, utun4 ,,\n"
                       "12:00:00.1,\"Helper, Inc.+4712\",,,\n"
                       "12:00:00.1,tcp4 10.0.0.2:2<->1.0.0.1:443,en0,,\n"
                       "12:00:00.1,bad.4294972007,,,\n"  // no PID, though it wraps to 4711 as a u32
                       "12:00:00.1,tcp4 10.0.0.2:5<->6.6.6.6:443,en0,,\n"
                       "lonely\n";
  const Strings v6 = {"2606:4700::6810:85e5"};
  // One flow counted per flow line, repeats included.
  EXPECT_EQ(parse_nettop_flows(output, {4711, 4712}, {"8.8.8.0/24"}),
            (Snapshot{.observer = "nettop", .active_excluded_flows_ipv4 = 4, .active_excluded_flows_ipv6 = 1,
                      .tunnel_excluded_flows_ipv4 = 2, .tunnel_excluded_flows_ipv6 = 1,
                      .observed_public_destinations_ipv4 = {"1.0.0.1", "17.1.2.3", "8.8.8.8"},
                      .observed_public_destinations_ipv6 = v6, .candidate_routes_ipv4 = {"1.0.0.1", "17.1.2.3"},
                      .candidate_routes_ipv6 = v6, .tunnel_destinations_ipv4 = {"17.1.2.3"},
                      .tunnel_destinations_ipv6 = v6}));

  // Real output: after the cut-short name, a dual-stack flow as lsof shows them (::ffff:, port after ".").
  output = testing::macos_sample("nettop") +
           "20:48:17.212301,tcp6 ::ffff:192.0.2.1.55432<->::ffff:17.253.144.10.443,en0,Established,\n";
  const Strings v4 = {"17.248.224.13", "17.253.144.10", "17.57.147.5"};
  EXPECT_EQ(parse_nettop_flows(output, {0, 51458}, {}),
            (Snapshot{.observer = "nettop", .active_excluded_flows_ipv4 = 3, .active_excluded_flows_ipv6 = 1,
                      .tunnel_excluded_flows_ipv4 = 1, .observed_public_destinations_ipv4 = v4,
                      .observed_public_destinations_ipv6 = {"2406:da60:8000:c0::305:97fe"},
                      .candidate_routes_ipv4 = v4, .candidate_routes_ipv6 = {"2406:da60:8000:c0::305:97fe"},
                      .tunnel_destinations_ipv4 = {"17.57.147.5"}}));
  EXPECT_EQ(parse_nettop_flows(output, {0}, {}).active_excluded_flows_ipv4, 2u);  // not the cut-short one's
}

TEST(LsofFlows, ConnectedPeersCountWithoutTunnelFlows) {
  std::string output =
      "COMMAND  PID USER   FD   TYPE DEVICE SIZE/OFF NODE NAME\n"
      "firefox 4711 me   31u  IPv4 0x1      0t0  TCP 192.168.1.5:50000->17.1.2.3:443 (ESTABLISHED)\n"
      "firefox 4711 me   32u  IPv6 0x2      0t0  TCP [2001:db8::2]:50001->[2606:4700::1111]:443 (ESTABLISHED)\n"
      "firefox 4711 me   35u  IPv4 0x5      0t0  TCP 192.168.1.5:50003->8.8.8.8:53 (ESTABLISHED)";
  EXPECT_EQ(parse_lsof_flows(output, {"8.8.8.8"}),
            (Snapshot{.observer = "lsof", .active_excluded_flows_ipv4 = 2, .active_excluded_flows_ipv6 = 1,
                      .observed_public_destinations_ipv4 = {"17.1.2.3", "8.8.8.8"},
                      .observed_public_destinations_ipv6 = {"2606:4700::1111"}, .candidate_routes_ipv4 = {"17.1.2.3"},
                      .candidate_routes_ipv6 = {"2606:4700::1111"}}));

  // Real output, the whole snapshot: the scoped fe80:4:: peer is link-local, so no IPv6 flow counts.
  const Strings peers = {"140.82.114.26", "17.253.144.10", "198.252.206.25", "31.13.83.36"};
  EXPECT_EQ(parse_lsof_flows(testing::macos_sample("lsof") + testing::macos_sample("lsof dual-stack"), {}),
            (Snapshot{.observer = "lsof", .active_excluded_flows_ipv4 = 4, .observed_public_destinations_ipv4 = peers,
                      .candidate_routes_ipv4 = peers}));
}

TEST(PublicAddress, CandidatesAreHostRoutesUnlessAStaticIpv4RouteCoversThem) {
  const std::vector<std::string> statics = {"nonsense", "17.1.0.0/16", "8.8.8.8", "2606:4700::/32"};
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {"17.1.2.3", std::nullopt}, {"8.8.8.8", std::nullopt}, {"8.8.4.4", "8.8.4.4"}, {"17.2.0.1", "17.2.0.1"},
      {"192.168.1.5", std::nullopt}, {"fe80::1", std::nullopt},
      {"2606:4700:0::6810:85e5", "2606:4700::6810:85e5"},  // canonical text, not checked against statics
  };
  for (const auto& [address, expected] : cases)
    EXPECT_EQ(classify_packet_steering_candidate_route(*parse_ip_address(address), statics), expected) << address;
}

}  // namespace
}  // namespace kivo
