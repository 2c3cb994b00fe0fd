#include "server/client_session.h"

#include <gtest/gtest.h>

#include "split/custom_split_state.h"
#include "testing/fake_env.h"
#include "tunnel/runtime_state.h"

namespace kivo {
namespace {

class ClientSession : public ::testing::Test {
 protected:
  testing::FakeEnv env;
  Features features{env};
  std::string answer(std::string_view request, const ClientIdentity& client = {}) {
    auto r = answer_request(features, request, client);
    return r ? *r : "<no answer>";
  }
};

// Who is served, with the console owner's words, is proven against the real daemon by
// test_daemon.py; these are the cases no real peer can stage. Root served with nobody at the
// console is every socket server case.
TEST_F(ClientSession, OnlyRootAndTheConsoleOwnerAreServed) {
  EXPECT_EQ(reject_reason(env, 501u), "client uid 501 is not authorized");  // no console owner
  EXPECT_EQ(reject_reason(env, Result<std::uint32_t>(fail("Bad file descriptor"))), "Bad file descriptor");
  env.console_owner = FileOwner{501, 20};
  EXPECT_EQ(reject_reason(env, 501u), std::nullopt);
  EXPECT_EQ(rejection_response(env, "client uid 502 is not authorized"),
            R"({"Err":{"code":"UnauthorizedClient","message":"client uid 502 is not authorized"}})");
  EXPECT_EQ(env.stderr_lines, (std::vector<std::string>{"Rejected helper client: client uid 502 is not authorized"}));
}

// A Ping answered "Ok" is the socket server's first case; Status without a record is no tunnel,
// as below for a record that is not whole.
TEST_F(ClientSession, AnswersWithTheHandlersResponse) {
  const std::string stopped = R"({"Status":{"connected":false,"iface":"","pid":0}})";
  const std::pair<const char*, std::string> cases[] = {
      {"", R"({"Err":{"code":"ParseError","message":"EOF while parsing a value at line 1 column 0"}})"},
      {R"({"ApplyDnsProxy":{"dns_ip":"127.0.0.1"}})",
       R"({"Err":{"code":"DnsApplyFailed","message":"No active network services found for DNS configuration"}})"},
      {R"({"VerifyDnsProxy":{"dns_ip":"localhost"}})",
       R"({"Err":{"code":"DnsVerifyFailed","message":"Invalid IP provided: localhost"}})"},
      {R"({"VerifyDnsProxy":{"dns_ip":"127.0.0.1"}})", R"({"DnsStatus":{"active":false,"configured_services":0}})"},
      {R"("RestoreDnsProxy")", R"({"DnsStatus":{"active":false,"configured_services":0}})"},
      {R"({"ApplySplitBypass":{"routes":[],"gateway":"192.0.2.1"}})",
       R"({"SplitBypassStatus":{"active":false,"routes":0}})"},
      {R"({"SetQuicMitigation":{"enabled":false}})", R"({"QuicMitigationStatus":{"enabled":false}})"},
      {"\"Pi\xffng\"", "<no answer>"},  // only logged
  };
  for (const auto& [request, response] : cases) EXPECT_EQ(answer(request), response) << request;
  EXPECT_EQ(env.stderr_lines, (std::vector<std::string>{"Read error: stream did not contain valid UTF-8"}));
  // A record whose process is gone, or that is not whole, is no tunnel.
  save_state(env, {77, "utun201", "203.0.113.1", "192.0.2.1", 5});
  EXPECT_EQ(answer("\"Status\""), stopped);
  env.live_pids.insert(77);
  EXPECT_EQ(answer("\"Status\""), R"({"Status":{"connected":true,"iface":"utun201","pid":77}})");
  for (const char* record :
       {"{not json", R"({"pid":77,"iface":"utun201","server_ip":"203.0.113.1","default_gateway":"192.0.2.1"})"}) {
    env.files[kTunnelStatePath] = record;
    EXPECT_EQ(answer("\"Status\""), stopped) << record;
  }
}

TEST_F(ClientSession, RecoverAnswersOkWhateverFailsAndLeavesTheKillSwitchAndDns) {
  env.handler = [](const std::string&) -> std::optional<CommandResult> { return CommandResult(fail("boom")); };
  EXPECT_EQ(answer("\"Recover\""), "\"Ok\"");
  for (const auto& line : env.commands())
    for (const char* left_alone : {"250.KivoVPN ", "251.KivoVPNDNS ", "networksetup"})
      EXPECT_EQ(line.find(left_alone), std::string::npos) << line;
  EXPECT_FALSE(env.commands_of("killall").empty());
  EXPECT_FALSE(env.commands_of("pfctl -a com.apple/252.KivoVPNQuic -F all").empty());
}

// Processes: the client's own are kept, another user's and gone ones dropped; root names any,
// up to 1000 in one snapshot. What a user cannot reach looking absent is test_daemon.py's.
TEST_F(ClientSession, OnlyTheClientsOwnProcessesCountAndRootsUpToTheCap) {
  env.process_owners = {{100, 501}, {200, 0}};
  ASSERT_TRUE(save_custom_split_engine_state(env, {.app_paths = {"/Applications/Chat.app"}}).ok());
  auto update = [&](std::uint64_t generation, const std::string& pids, const ClientIdentity& client) {
    return answer(R"({"UpdateCustomSplitEnginePids":{"generation":)" + std::to_string(generation) +
                      R"(,"apps":[{"name":"Chat","exe_path":"/Applications/Chat.app","active_pids":[)" + pids + "]}]}}",
                  client);
  };
  auto recorded = [&] { return read_custom_split_engine_state(env)->tracked_apps.at(0).active_pids; };
  update(1, "100,200,300", ClientIdentity{501, 20});
  EXPECT_EQ(recorded(), (std::vector<std::uint32_t>{100}));
  update(2, "100,200,300", ClientIdentity{});
  EXPECT_EQ(recorded(), (std::vector<std::uint32_t>{100, 200, 300}));
  std::string many = "1";
  for (int pid = 2; pid <= 1000; ++pid) many += "," + std::to_string(pid);
  EXPECT_NE(update(3, many, ClientIdentity{}).find("CustomSplitEngineStatus"), std::string::npos);
  EXPECT_EQ(recorded().size(), 1000u);
  EXPECT_EQ(update(4, many + ",1001", ClientIdentity{}),
            R"({"Err":{"code":"CustomSplitEnginePidUpdateFailed","message":"PID snapshot names 1001 processes; )"
            R"(the limit is 1000"}})");
}

}  // namespace
}  // namespace kivo
