#include "tools/kivo_helperctl/overview.h"

namespace kivo::helperctl {

std::vector<OverviewRequest> overview_requests(const std::string& dns_ip) {
  auto unit = [](std::string title, std::string variant) {
    return OverviewRequest{std::move(title), variant, "\"" + variant + "\""};
  };
  return {
      unit("helper", "GetStatus"),
      unit("tunnel", "Status"),
      unit("data plane", "VerifyTunnelDataPlane"),
      unit("kill switch", "VerifyKillSwitch"),
      unit("quic block", "VerifyQuicMitigation"),
      {"dns proxy " + dns_ip, "VerifyDnsProxy", R"({"VerifyDnsProxy":{"dns_ip":")" + dns_ip + R"("}})"},
      unit("split bypass", "VerifySplitBypass"),
      unit("custom split", "VerifyCustomSplitEngine"),
      unit("packet steering", "VerifyPacketSteeringEngine"),
  };
}

std::vector<OverviewItem> gather_overview(const std::vector<OverviewRequest>& requests, const Ask& ask) {
  std::vector<OverviewItem> items;
  for (const auto& r : requests) {
    items.push_back({r.title, ask(r.request)});
    // A helper that cannot be reached would only repeat the same failure on every line.
    if (items.size() == 1 && !items.front().answer) break;
  }
  return items;
}

std::string overview_json(const std::vector<OverviewRequest>& requests, const std::vector<OverviewItem>& items) {
  std::string out = "{";
  for (std::size_t i = 0; i < requests.size() && i < items.size(); ++i) {
    if (i) out += ",";
    out += "\"" + requests[i].variant + "\":" + (items[i].answer ? *items[i].answer : std::string("null"));
  }
  return out + "}";
}

}  // namespace kivo::helperctl
