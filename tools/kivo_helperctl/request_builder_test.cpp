#include "tools/kivo_helperctl/request_builder.h"

#include <gtest/gtest.h>

namespace kivo::helperctl {
namespace {

RequestArgs typed() {
  RequestArgs a;
  a.config_path = "/etc/wg/kivo.conf";
  a.client_ip = "10.8.0.2";
  a.server_ip = "198.51.100.1";
  a.gateway = "192.168.1.1";
  a.dns_ip = "127.0.0.1";
  a.routes = {"203.0.113.7", "198.51.100.0/24", "2001:db8::/32"};
  a.app_paths = {"/Applications/Mail.app"};
  a.generation = 7;
  a.apps_json = R"([{"name":"Mail","exe_path":"/Applications/Mail.app/Contents/MacOS/Mail","active_pids":[41,42]}])";
  return a;
}

TEST(BuildRequest, WritesTheFieldsTheHelperDeclares) {
  struct Case {
    const char* variant;
    const char* request;
  };
  const Case cases[] = {
      {"Ping", R"("Ping")"},
      {"StartTunnel",
       R"({"StartTunnel":{"config_path":"/etc/wg/kivo.conf","client_ip":"10.8.0.2","server_ip":"198.51.100.1","gateway":"192.168.1.1"}})"},
      {"VerifyDnsProxy", R"({"VerifyDnsProxy":{"dns_ip":"127.0.0.1"}})"},
      {"SetQuicMitigation", R"({"SetQuicMitigation":{"enabled":true}})"},
      {"ApplySplitBypass",
       R"({"ApplySplitBypass":{"routes":["203.0.113.7","198.51.100.0/24","2001:db8::/32"],"gateway":"192.168.1.1"}})"},
      {"StagePacketSteeringEngine",
       R"({"StagePacketSteeringEngine":{"app_paths":["/Applications/Mail.app"],"routes":["203.0.113.7","198.51.100.0/24","2001:db8::/32"],"gateway":"192.168.1.1","allow_lan":true}})"},
      {"UpdateCustomSplitEnginePids",
       R"({"UpdateCustomSplitEnginePids":{"generation":7,"apps":[{"name":"Mail","exe_path":"/Applications/Mail.app/Contents/MacOS/Mail","active_pids":[41,42]}]}})"},
  };
  RequestArgs a = typed();
  a.enabled = true;
  a.allow_lan = true;
  for (const auto& c : cases) {
    auto built = build_request(c.variant, a);
    ASSERT_TRUE(built.ok()) << c.variant << ": " << built.error();
    EXPECT_EQ(*built, c.request);
  }
}

TEST(BuildRequest, RefusesBadValuesBeforeSending) {
  struct Case {
    const char* variant;
    void (*spoil)(RequestArgs&);
    const char* error;
  };
  const Case cases[] = {
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
    RequestArgs a = typed();
    c.spoil(a);
    auto built = build_request(c.variant, a);
    ASSERT_FALSE(built.ok()) << c.variant << " sent " << *built;
    EXPECT_EQ(built.error(), c.error);
  }
}

}  // namespace
}  // namespace kivo::helperctl
