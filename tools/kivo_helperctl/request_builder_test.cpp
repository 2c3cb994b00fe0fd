#include "tools/kivo_helperctl/request_builder.h"

#include <gtest/gtest.h>

namespace kivo::helperctl {
namespace {

const RequestArgs kTyped{
    .config_path = "/etc/wg/kivo.conf", .client_ip = "10.8.0.2", .server_ip = "198.51.100.1",
    .gateway = "192.168.1.1", .dns_ip = "127.0.0.1", .routes = {"203.0.113.7", "198.51.100.0/24", "2001:db8::/32"},
    .app_paths = {"/Applications/Mail.app"}, .allow_lan = true, .enabled = true, .generation = 7,
    .apps_json = R"([{"name":"Mail","exe_path":"/Applications/Mail.app/Contents/MacOS/Mail","active_pids":[41,42]}])"};

TEST(BuildRequest, WritesTheFieldsTheHelperDeclares) {
  const struct { const char *variant, *request; } cases[] = {
      {"Ping", R"("Ping")"},
      {"StartTunnel",
       R"({"StartTunnel":{"config_path":"/etc/wg/kivo.conf","client_ip":"10.8.0.2","server_ip":"198.51.100.1","gateway":"192.168.1.1"}})"},
      {"VerifyDnsProxy", R"({"VerifyDnsProxy":{"dns_ip":"127.0.0.1"}})"},
      {"SetQuicMitigation", R"({"SetQuicMitigation":{"enabled":true}})"},
      {"StagePacketSteeringEngine",
       R"({"StagePacketSteeringEngine":{"app_paths":["/Applications/Mail.app"],"routes":["203.0.113.7","198.51.100.0/24","2001:db8::/32"],"gateway":"192.168.1.1","allow_lan":true}})"},
      {"UpdateCustomSplitEnginePids",
       R"({"UpdateCustomSplitEnginePids":{"generation":7,"apps":[{"name":"Mail","exe_path":"/Applications/Mail.app/Contents/MacOS/Mail","active_pids":[41,42]}]}})"},
  };
  for (const auto& c : cases) {
    auto built = build_request(c.variant, kTyped);
    EXPECT_EQ(built.ok() ? *built : built.error(), c.request) << c.variant;
  }
}

TEST(BuildRequest, RefusesBadValuesBeforeSending) {
  const struct { const char* variant; void (*spoil)(RequestArgs&); const char* error; } cases[] = {
      {"StartTunnel", [](RequestArgs& a) { a.client_ip = "10.8.0.2/32"; },
       "--client-ip: not an IP address: '10.8.0.2/32'"},
      {"StartTunnel", [](RequestArgs& a) { a.config_path.clear(); }, "--config is required"},
      {"ApplyKillSwitch", [](RequestArgs& a) { a.server_ip = "1.2.3.4; pass out all"; },
       "--server-ip: not an IP address: '1.2.3.4; pass out all'"},
      {"ApplySplitBypass", [](RequestArgs& a) { a.routes = {"10.0.0.0/33"}; },
       "not an address or a network (CIDR): '10.0.0.0/33'"},
      {"ApplySplitBypass", [](RequestArgs& a) { a.routes = {"example.com"}; },
       "not an address or a network (CIDR): 'example.com'"},
      {"StageCustomSplitEngine", [](RequestArgs& a) { a.app_paths = {"Mail.app"}; },
       "--app: not an absolute path: 'Mail.app'"},
      {"UpdatePacketSteeringPids", [](RequestArgs& a) { a.apps_json = "{}"; },
       R"(apps: expected a JSON array of {"name","exe_path","active_pids"} objects)"},
      {"UpdatePacketSteeringPids", [](RequestArgs& a) { a.apps_json = R"([{"name":"x","exe_path":"/x","active_pids":[-1]}])"; },
       "apps[0]: active_pids must be a list of process ids"},
      {"UpdatePacketSteeringPids", [](RequestArgs& a) { a.apps_json = R"([{"name":"x","active_pids":[]}])"; },
       "apps[0]: exe_path must be a string"},
      {"UpdatePacketSteeringPids", [](RequestArgs& a) { a.apps_json = "[1,"; },
       "apps: not JSON: Invalid value. at offset 3"},
      {"Shutdown", [](RequestArgs&) {}, "no such request: Shutdown"},
  };
  for (const auto& c : cases) {
    RequestArgs a = kTyped;
    c.spoil(a);
    auto built = build_request(c.variant, a);
    EXPECT_EQ(built.ok() ? "sent " + *built : built.error(), c.error) << c.variant;
  }
}

}  // namespace
}  // namespace kivo::helperctl
