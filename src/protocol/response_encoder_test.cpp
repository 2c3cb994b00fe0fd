#include <gtest/gtest.h>

#include "protocol/helper_protocol.h"

namespace kivo::protocol {
namespace {

using namespace std::string_literals;

TEST(EncodeResponse, VariantsAreWrappedWithMembersInOrder) {
  // Distinct values tie each name in the text to its member; a null note is in the custom split
  // dispatch test.
  const std::string runtime =
      R"({"RuntimeStatus":{"protocol_version":1,"runtime_stage":"privileged-ops-v1","ready_for_privileged_ops":)";
  const std::pair<HelperResponse, std::string> cases[] = {
      {response::Status{true, "utun200", 4294967295u},
       R"({"Status":{"connected":true,"iface":"utun200","pid":4294967295}})"},
      {response::DnsStatus{true, UINT64_MAX},
       R"({"DnsStatus":{"active":true,"configured_services":18446744073709551615}})"},
      {response::CustomSplitEngineStatus{true, false, 2, 5, 4, "ok"},
       R"({"CustomSplitEngineStatus":{"staged":true,"active":false,"app_count":2,"route_count":5,)"
       R"("dynamic_routes":4,"note":"ok"}})"},
      // Each flag's pattern across the three rows is its own.
      {response::RuntimeStatus{1, "privileged-ops-v1", true, {true, false, true, false, true, false, true}},
       runtime + R"(true,"supported_features":{"tunnel":true,"firewall":false,"dns":true,"split_tunnel":false,)"
       R"("quic_mitigation":true,"custom_split_engine":false,"packet_steering_engine":true}}})"},
      {response::RuntimeStatus{1, "privileged-ops-v1", false, {false, true, true, false, false, true, true}},
       runtime + R"(false,"supported_features":{"tunnel":false,"firewall":true,"dns":true,"split_tunnel":false,)"
       R"("quic_mitigation":false,"custom_split_engine":true,"packet_steering_engine":true}}})"},
      {response::RuntimeStatus{1, "privileged-ops-v1", false, {false, false, false, true, true, true, true}},
       runtime + R"(false,"supported_features":{"tunnel":false,"firewall":false,"dns":false,"split_tunnel":true,)"
       R"("quic_mitigation":true,"custom_split_engine":true,"packet_steering_engine":true}}})"},
      {response::PacketSteeringEngineStatus{true, false, 1, 2, {"lsof", 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17,
                                                                18, 19, 20, 21, 22, 23, 24, 25, 26, true, 27}},
       R"({"PacketSteeringEngineStatus":{"staged":true,"active":false,"app_count":1,"route_count":2,)"
       R"("observation_source":"lsof","tracked_processes":3,"active_excluded_flows_ipv4":4,)"
       R"("active_excluded_flows_ipv6":5,"tunnel_excluded_flows_ipv4":6,"tunnel_excluded_flows_ipv6":7,)"
       R"("observed_public_destinations_ipv4":8,"observed_public_destinations_ipv6":9,)"
       R"("candidate_bypass_routes_ipv4":10,"candidate_bypass_routes_ipv6":11,"static_bypass_routes_ipv4":12,)"
       R"("static_bypass_routes_ipv6":13,"learned_bypass_routes_ipv4":14,"learned_bypass_routes_ipv6":15,)"
       R"("first_hit_gap_routes_ipv4":16,"first_hit_gap_routes_ipv6":17,"enforcement_ready_routes_ipv4":18,)"
       R"("enforcement_ready_routes_ipv6":19,"planned_bypass_routes_ipv4":20,"planned_bypass_routes_ipv6":21,)"
       R"("applied_bypass_routes_ipv4":22,"applied_bypass_routes_ipv6":23,"route_drift_routes_ipv4":24,)"
       R"("route_drift_routes_ipv6":25,"stale_pid_snapshots":26,"enforcement_plan_ready":true,)"
       R"("enforcement_plan_revision":27,"enforcement_plan_summary":null,"note":null}})"},
  };
  for (const auto& [answer, text] : cases) EXPECT_EQ(encode_response(answer), text);
}

TEST(EncodeResponse, TextsAreEscapedAsJsonAndInvalidUtf8IsReplaced) {
  const std::pair<std::string, std::string> cases[] = {
      {"quote \" backslash \\ slash / tab\tnl\ncr\r\b\f", R"(quote \" backslash \\ slash / tab\tnl\ncr\r\b\f)"},
      {"\x01\x1f\x7f and nul \0 inside"s, "\\u0001\\u001F\x7f and nul \\u0000 inside"},
      {"h\u00e9llo \u4e16\u754c \U0001F600", "h\u00e9llo \u4e16\u754c \U0001F600"},
      {"bad \xff byte", "bad \xEF\xBF\xBD byte"},  // so that the answer stays JSON
  };
  for (const auto& [text, written] : cases)
    EXPECT_EQ(encode_response(response::Err{"TunnelStartFailed", text}),
              R"({"Err":{"code":"TunnelStartFailed","message":")" + written + "\"}}");
}

}  // namespace
}  // namespace kivo::protocol
