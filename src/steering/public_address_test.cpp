#include "steering/public_address.h"

#include <gtest/gtest.h>

namespace kivo {
namespace {

TEST(PublicAddress, CandidatesAreHostRoutesUnlessAStaticIpv4RouteCoversThem) {
  const std::vector<std::string> statics = {"nonsense", "17.1.0.0/16", "8.8.8.8", "2606:4700::/32"};
  auto classify = [&](const std::string& text) {
    return classify_packet_steering_candidate_route(*parse_ip_address(text), statics);
  };
  EXPECT_EQ(classify("17.1.2.3"), std::nullopt);
  EXPECT_EQ(classify("8.8.8.8"), std::nullopt);
  EXPECT_EQ(classify("8.8.4.4"), "8.8.4.4");
  EXPECT_EQ(classify("17.2.0.1"), "17.2.0.1");
  EXPECT_EQ(classify("192.168.1.5"), std::nullopt);
  EXPECT_EQ(classify("2606:4700:0::6810:85e5"), "2606:4700::6810:85e5");  // canonical text, not checked
  EXPECT_EQ(classify("fe80::1"), std::nullopt);
}

}  // namespace
}  // namespace kivo
