#include "server/dispatcher.h"

#include <gtest/gtest.h>

#include <functional>

#include "dns/dns_state.h"
#include "split/custom_split_state.h"
#include "split/split_bypass.h"
#include "testing/fake_env.h"
#include "tunnel/runtime_state.h"

namespace kivo {
namespace {

namespace req = protocol;
using Fake = testing::FakeEnv;

// A client tells failures apart by their code alone: each operation's failure carries its own
// code, written out here as the client reads it, with the operation's words as the message.
TEST(Dispatcher, EachFailingOperationAnswersWithItsOwnCode) {
  struct {
    protocol::HelperRequest request;
    std::function<void(Fake&)> break_it;
    std::string code, message;
  } cases[] = {
      {req::RestoreDnsProxy{},
       [](Fake& env) {
         env.files[kDnsStatePath] =
             R"({"target_dns":"127.0.0.1","services":[{"service":"Wi-Fi","dns_servers":null}],"pf_token":null,"updated_at":1})";
         env.script_fail("networksetup -setdnsservers Wi-Fi Empty", "Permission denied");
         env.script_ok("networksetup -getdnsservers Wi-Fi", "127.0.0.1\n");
       },
       "DnsRestoreFailed",
       "Failed setting DNS for 'Wi-Fi': Permission denied | DNS restore verification failed for service 'Wi-Fi'"},
      {req::RestoreSplitBypass{},
       [](Fake& env) {
         env.files[kSplitStatePath] = R"({"routes":["1.1.1.1"],"gateway":"192.168.1.1","updated_at":1})";
         env.script_fail("route -n delete -host 1.1.1.1 192.168.1.1", "Permission denied");
       },
       "SplitBypassRestoreFailed", "1.1.1.1 (Permission denied)"},
      // A server address carrying a second rule never reaches pf.
      {req::ApplyKillSwitch{"198.51.100.7 keep state\npass out quick all"}, [](Fake&) {}, "KillSwitchApplyFailed",
       "Invalid IP provided: 198.51.100.7 keep state\npass out quick all"},
      {req::RemoveKillSwitch{}, [](Fake& env) { env.script_ok("pfctl -a com.apple/250.KivoVPN -s rules", "block all\n"); },
       "KillSwitchRemoveFailed", "Anchor still has active rules after removal"},
      {req::VerifyKillSwitch{}, [](Fake& env) { env.script_fail("pfctl -a com.apple/250.KivoVPN -s rules", "EPERM"); },
       "KillSwitchVerifyFailed", "EPERM"},
      {req::SetQuicMitigation{true}, [](Fake& env) { env.script_fail("pfctl -E", "busy"); }, "QuicMitigationSetFailed",
       "Failed to enable PF for QUIC mitigation: busy"},
      {req::VerifyQuicMitigation{}, [](Fake& env) { env.script_fail("pfctl -a com.apple/252.KivoVPNQuic -s rules", "EPERM"); },
       "QuicMitigationVerifyFailed", "EPERM"},
      {req::RestoreCustomSplitEngine{},
       [](Fake& env) {
         env.files[kCustomSplitStatePath] = encode_custom_split_engine_state(
             {.app_paths = {"/Applications/Chat.app"}, .gateway = "192.0.2.1", .dynamic_routes = {"198.51.100.0/24"}});
         env.script_fail("route -n delete -net 198.51.100.0/24 192.0.2.1", "Operation not permitted");
       },
       "CustomSplitEngineRestoreFailed", "198.51.100.0/24 (Operation not permitted)"},
      {req::UpdatePacketSteeringPids{1, {}}, [](Fake&) {}, "PacketSteeringEnginePidUpdateFailed",
       "No such file or directory"},
      {req::VerifyTunnelDataPlane{},
       [](Fake& env) {
         env.existing_paths.insert("/Library/PrivilegedHelperTools/wg");
         env.files[kTunnelStatePath] = encode_runtime_state({4242, "utun203", "203.0.113.5", "192.168.1.1", 1});
         env.live_pids.insert(4242);
         env.script_fail("/Library/PrivilegedHelperTools/wg show utun203 transfer", "No such device");
       },
       "TunnelDataPlaneVerifyFailed", "wg transfer query failed: No such device"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    Fake env;
    c.break_it(env);
    Features features(env);
    auto response = dispatch(features, c.request);
    auto* err = std::get_if<protocol::response::Err>(&response);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->code, c.code);
    EXPECT_EQ(err->message, c.message);
  }
}

}  // namespace
}  // namespace kivo
