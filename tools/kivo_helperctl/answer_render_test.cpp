#include "tools/kivo_helperctl/answer_render.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace kivo::helperctl {
namespace {

using ::testing::ElementsAreArray;

TEST(RenderAnswer, GivesAlignedLinesAndErrorsApart) {
  const struct { const char* answer; std::vector<std::string> lines; bool is_error; } cases[] = {
      {R"("Ok")", {"ok"}, false},
      {R"({"Status":{"connected":true,"iface":"utun200","pid":4242}})",
       {"connected: yes", "iface:     utun200", "pid:       4242"}, false},
      {R"({"Status":{"connected":false,"iface":"","pid":0}})", {"connected: no", "iface:", "pid:       0"}, false},
      {R"({"CustomSplitEngineStatus":{"staged":false,"active":false,"app_count":0,"route_count":0,"dynamic_routes":0,"note":null}})",
       {"staged:         no", "active:         no", "app count:      0", "route count:    0", "dynamic routes: 0",
        "note:           none"},
       false},
      {R"({"RuntimeStatus":{"protocol_version":1,"runtime_stage":"privileged-ops-v1","ready_for_privileged_ops":false,"supported_features":{"tunnel":false,"firewall":true,"dns":true}}})",
       {"protocol version:         1", "runtime stage:            privileged-ops-v1",
        "ready for privileged ops: no", "supported features:       firewall, dns (missing: tunnel)"},
       false},
      {R"({"TunnelDataPlaneStatus":{"connected":true,"iface":"utun200","rx_bytes":18446744073709551615,"tx_bytes":7}})",
       {"connected: yes", "iface:     utun200", "rx bytes:  18446744073709551615", "tx bytes:  7"}, false},
      {R"({"PacketSteeringEngineStatus":{"staged":true,"observation_source":"lsof","learned_bypass_routes_ipv4":3,"learned_bypass_routes_ipv6":1,"stale_pid_snapshots":0}})",
       {"staged:                yes", "observation source:    lsof", "learned bypass routes: 3 ipv4, 1 ipv6",
        "stale pid snapshots:   0"},
       false},
      {R"({"Err":{"code":"KillSwitchApplyFailed","message":"Invalid IP provided: x"}})",
       {"error (KillSwitchApplyFailed): Invalid IP provided: x"}, true},
      {"garbage", {"unreadable answer: garbage"}, true},
  };
  for (const auto& c : cases) {
    Rendered r = render_answer(c.answer);
    EXPECT_THAT(r.lines, ElementsAreArray(c.lines)) << c.answer;
    EXPECT_EQ(r.is_error, c.is_error) << c.answer;
  }
}

TEST(RenderOverview, OneLinePerRequestWithNotesBelowAndFailuresInPlace) {
  const std::vector<OverviewItem> items = {
      {"tunnel", std::string(R"({"Status":{"connected":true,"iface":"utun200","pid":9}})")},
      {"kill switch", std::string(R"({"Err":{"code":"KillSwitchVerifyFailed","message":"pfctl: boom"}})")},
      {"packet steering", std::string(R"({"Err":{"code":"PacketSteeringEngineVerifyFailed","message":")") +
                              std::strerror(ENOENT) + "\"}}"},
      {"dns proxy", fail("no answer within 2 s")},
      {"custom split",
       std::string(R"({"CustomSplitEngineStatus":{"staged":true,"active":false,"app_count":1,"route_count":0,"dynamic_routes":0,"note":"Custom split engine is staged, but dynamic route reconciliation is degraded: route add 198.51.100.0/24 failed: gateway unreachable. Retried."}})")},
  };
  EXPECT_THAT(render_overview(items), ElementsAreArray({
                                          "tunnel:          connected yes, iface utun200, pid 9",
                                          "kill switch:     error (KillSwitchVerifyFailed): pfctl: boom",
                                          "packet steering: staged no, active no",
                                          "dns proxy:       no answer within 2 s",
                                          "custom split:    staged yes, active no, app count 1",
                                          "  note:          Custom split engine is staged, but dynamic route "
                                          "reconciliation is degraded: route",
                                          "                 add 198.51.100.0/24 failed: gateway unreachable.",
                                      }));
}

}  // namespace
}  // namespace kivo::helperctl
