#include "tunnel/tunnel.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "split/split_bypass.h"
#include "testing/fake_env.h"

namespace kivo {
namespace {

using ::testing::ElementsAre;

constexpr const char* kConfig = "/etc/wireguard/kivo.conf";
constexpr const char* kWg = "/Library/PrivilegedHelperTools/wg";
constexpr const char* kWireguardGo = "/Library/PrivilegedHelperTools/wireguard-go";
constexpr const char* kConfigText = "[Interface]\nPrivateKey = SECRET-TOKEN\n";
constexpr ClientIdentity kConsoleUser{501, 20};
// The steps of a start on utun203 that a failure can stop at.
const std::string kSpawn = "spawn /Library/PrivilegedHelperTools/wireguard-go -f utun203";
const std::string kSetconf = "/Library/PrivilegedHelperTools/wg setconf utun203 /var/run/com.kivovpn.helper.wg.conf";
const std::string kSetIp = "ifconfig utun203 10.8.0.2 10.8.0.2 netmask 255.255.255.255";
const std::string kHost = "route add -host 203.0.113.5 192.168.1.1";
const std::string kLow = "route add -net 0.0.0.0/1 -interface utun203";
const std::string kHigh = "route add -net 128.0.0.0/1 -interface utun203";

// A helper machine with wireguard-go and wg installed, before any tunnel.
struct Rig {
  Rig() {
    env.existing_paths = {kWireguardGo, kWg};
    env.files[kConfig] = kConfigText;
    for (std::uint32_t pid : {4000, 4001, 4242}) env.executables[pid] = kWireguardGo;
    // utun200..202 exist; utun203 is free until wireguard-go brings it up.
    env.script("ifconfig utun203", {fail("interface utun203 does not exist"), std::string()});
  }
  Result<HelperRuntimeState> start(const std::string& config = kConfig, const ClientIdentity& client = {}) {
    return tunnel.start_tunnel(config, "10.8.0.2", "203.0.113.5", "192.168.1.1", client);
  }
  // Only the client's configuration is left: no record, no copy of it.
  void expect_no_helper_files() {
    EXPECT_EQ(env.files.size(), 1u);
    EXPECT_TRUE(env.files.count(kConfig));
  }
  // The commands from the first run of `line` to the end.
  std::vector<std::string> commands_from(const std::string& line) {
    auto all = env.commands();
    return {std::find(all.begin(), all.end(), line), all.end()};
  }

  testing::FakeEnv env;
  SplitBypass split{env};
  Tunnel tunnel{env, split};
};

class TunnelTest : public ::testing::Test, public Rig {};

using Lines = std::vector<std::string>;
Lines operator+(Lines first, const Lines& then) {
  first.insert(first.end(), then.begin(), then.end());
  return first;
}
// How a recorded tunnel goes: its half-default routes, the host route to its server, its interface, its process.
Lines teardown(const std::string& iface, const std::string& server_via, const std::string& pid) {
  return {"route delete -net 0.0.0.0/1 -interface " + iface, "route delete -net 128.0.0.0/1 -interface " + iface,
          "route delete -host " + server_via, "ifconfig " + iface + " down", "kill -9 " + pid};
}

TEST(TunnelStart, EachFailedStepUndoesWhatCameBefore) {
  // The whole undo, in order; a step that fails undoes the tail that covers the steps before it.
  const std::vector<std::string> kUndo = {"route delete -net 128.0.0.0/1 -interface utun203",
                                          "route delete -net 0.0.0.0/1 -interface utun203",
                                          "route delete -host 203.0.113.5 192.168.1.1", "SIGKILL 4242",
                                          "ifconfig utun203 down"};
  auto undo_from = [&](std::size_t step) { return std::vector<std::string>(kUndo.begin() + step, kUndo.end()); };
  struct {
    std::function<void(testing::FakeEnv&)> break_it;  // none: the step `from` itself fails
    std::string from, message;
    std::vector<std::string> cleanup;
    std::chrono::milliseconds waited{0};
  } cases[] = {
      {[](auto& env) { env.script_ok("ifconfig utun203"); }, "ifconfig utun255",
       "No free utun interfaces between 200 and 255", {}},
      {[](auto& env) { env.spawn_fails = true; }, kSpawn, "No such file or directory", {}},
      // An interface that never appears is waited for in 50 rounds, 10 s in all.
      {[](auto& env) { env.script_fail("ifconfig utun203", "does not exist"); }, kSpawn,
       "Timed out waiting for utun interface to appear", Lines(50, "ifconfig utun203") + Lines{"SIGKILL 4242"},
       std::chrono::seconds(10)},
      // Reported at once, without waiting for an interface.
      {[](auto& env) { env.child_dies_after_probes = 0; }, kSpawn, "wireguard-go died immediately", {"SIGKILL 4242"}},
      // The answer never quotes the configuration's lines.
      {[&](auto& env) { env.script_fail(kSetconf, "Line unrecognized: `PrivateKey = SECRET-TOKEN'\nParse error"); },
       kSetconf, "wg setconf failed: Line unrecognized\nParse error", undo_from(3)},
      {nullptr, "ifconfig utun203 up", "ifconfig up failed: boom", {"SIGKILL 4242"}},
      {nullptr, kSetIp, "ifconfig set ip failed: boom", {"SIGKILL 4242"}},
      {nullptr, kHost, "failed to add host route 203.0.113.5 via 192.168.1.1: boom", undo_from(3)},
      {nullptr, kLow, "failed to add default half-route 0.0.0.0/1 via utun203: boom", undo_from(2)},
      {nullptr, kHigh, "failed to add default half-route 128.0.0.0/1 via utun203: boom", undo_from(1)},
      {[](auto& env) { env.failing_writes.insert(kTunnelStatePath); }, kHigh,
       "Failed to persist tunnel state: Read-only file system", kUndo},
      // A child whose output cannot be drained does not stay up.
      {[](auto& env) { env.release_fails = true; }, "release 4242",
       "Failed to keep wireguard-go running: Resource temporarily unavailable", kUndo},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    Rig rig;
    if (c.break_it) c.break_it(rig.env);
    else rig.env.script_fail(c.from, "boom");
    EXPECT_EQ(rig.start().error(), c.message);
    EXPECT_EQ(rig.commands_from(c.from), Lines{c.from} + c.cleanup);
    rig.expect_no_helper_files();
    EXPECT_EQ(rig.env.slept, c.waited);
  }
}

// The start tears down every recorded tunnel before it comes up on the first free interface.
TEST_F(TunnelTest, StartAndStopTearDownEveryRecordedTunnelAndOnlyStopTakesTheBypass) {
  env.files[kTunnelStatePath] = encode_runtime_state({4000, "utun201", "203.0.113.9", "192.168.1.254", 1});
  // A start cut short by a crash is undone from its own record.
  env.files[kTunnelStartingPath] = encode_runtime_state({4001, "utun202", "203.0.113.5", "192.168.1.1", 0});
  env.live_pids = {4000};
  env.files[kSplitStatePath] = encode_split_state({{"192.168.1.10"}, "192.168.1.1", 1});
  std::map<std::string, std::string> seen_at_host_route;
  std::string copied;
  env.handler = [&](const std::string& line) -> std::optional<CommandResult> {
    if (line == "kill -9 4000") env.live_pids.erase(4000);  // the old process goes, its interface with it
    if (line == kHost) seen_at_host_route = env.files;
    if (line == kSetconf) copied = env.files.at(kTunnelConfigCopyPath);
    return std::nullopt;
  };
  auto state = start();
  ASSERT_TRUE(state.ok()) << state.error();
  EXPECT_EQ(*state, (HelperRuntimeState{4242, "utun203", "203.0.113.5", "192.168.1.1", 1700000000}));
  // Only what the records name, each once: no killall of every wireguard-go.
  EXPECT_EQ(env.commands(), (teardown("utun201", "203.0.113.9 192.168.1.254", "4000") +
                             teardown("utun202", "203.0.113.5 192.168.1.1", "4001") +
                             Lines{"ifconfig utun200", "ifconfig utun201", "ifconfig utun202", "ifconfig utun203", kSpawn,
                                   "ifconfig utun203", kSetconf, "ifconfig utun203 up", kSetIp, kHost, kLow, kHigh,
                                   "release 4242"}));
  EXPECT_EQ(env.files.at(kTunnelStatePath), encode_runtime_state(*state));
  // wg loads a private copy of the configuration, within a time limit.
  EXPECT_EQ(copied, kConfigText);
  EXPECT_EQ(env.limits_ms.at(kSetconf), 15000u);
  // What the undo needs is on disk before the first route, in the start's own record: Status
  // and the kill switch see no tunnel until it is all up.
  EXPECT_EQ(seen_at_host_route.count(kTunnelStatePath), 0u);
  EXPECT_EQ(seen_at_host_route[kTunnelStartingPath],
            encode_runtime_state({4242, "utun203", "203.0.113.5", "192.168.1.1", 0}));
  EXPECT_FALSE(env.files.count(kTunnelStartingPath));
  // The bypass routes stay.
  EXPECT_TRUE(env.files.count(kSplitStatePath));

  // Stop restores the bypass first, then tears down both recorded tunnels and ends every wireguard-go.
  env.files[kTunnelStartingPath] = encode_runtime_state({4001, "utun202", "203.0.113.5", "192.168.1.1", 0});
  env.files[kTunnelConfigCopyPath] = kConfigText;
  env.clear_commands();
  tunnel.stop_tunnel();
  EXPECT_EQ(env.commands(), Lines{"route -n delete -host 192.168.1.10 192.168.1.1"} +
                                teardown("utun203", "203.0.113.5 192.168.1.1", "4242") +
                                teardown("utun202", "203.0.113.5 192.168.1.1", "4001") + Lines{"killall -9 wireguard-go"});
  expect_no_helper_files();

  // Without a usable record every wireguard-go still ends.
  env.clear_commands();
  env.files[kTunnelStatePath] = "{\"pid\":1}";
  env.script_fail("killall -9 wireguard-go", "No matching processes were found");
  tunnel.stop_tunnel();
  EXPECT_THAT(env.commands(), ElementsAre("killall -9 wireguard-go"));
  expect_no_helper_files();
  // A pid of 0 would signal the helper's own process group, one above the largest pid every
  // process (read into an int), and a pid since reused (or whose program is unknown) another program.
  env.executables[4242] = "/usr/bin/ssh";
  for (std::uint32_t pid : {0u, 4294967295u, 4242u, 4243u}) {
    SCOPED_TRACE(pid);
    env.clear_commands();
    env.files[kTunnelStatePath] = encode_runtime_state({pid, "utun203", "203.0.113.5", "192.168.1.1", 1});
    tunnel.stop_tunnel();
    EXPECT_TRUE(env.commands_of("kill").empty());
    EXPECT_THAT(env.commands_of("killall"), ElementsAre("killall -9 wireguard-go"));
  }
}

TEST_F(TunnelTest, ChecksInputsInOrderBeforeTouchingTheSystem) {
  struct { std::string client, server, gateway, config, message; } cases[] = {
      {"bad", "also bad", "x", "/missing", "Invalid IP provided: bad"},
      {"10.8.0.2", "vpn.example", "x", "/missing", "Invalid IP provided: vpn.example"},
      {"10.8.0.2", "203.0.113.5", "gw", "/missing", "Invalid IP provided: gw"},
      // Host routes to these would take the machine's own traffic away from it.
      {"10.8.0.2", "127.0.0.1", "192.168.1.1", "/missing", "Refusing a loopback, multicast or reserved address: 127.0.0.1"},
      {"10.8.0.2", "203.0.113.5", "224.0.0.1", "/missing", "Refusing a loopback, multicast or reserved address: 224.0.0.1"},
      {"fd00::2", "2001:db8::1", "192.168.1.1", "/missing", "WireGuard config path does not exist"},
      // What the client may not read looks exactly like what is not there.
      {"10.8.0.2", "203.0.113.5", "192.168.1.1", "/var/root/other.conf", "WireGuard config path does not exist"},
      {"10.8.0.2", "203.0.113.5", "192.168.1.1", "/tmp/fifo", "WireGuard config path rejected: not a regular file"},
      {"10.8.0.2", "203.0.113.5", "192.168.1.1", "/tmp/huge.conf", "WireGuard config path rejected: larger than 65536 bytes"},
      {"10.8.0.2", "203.0.113.5", "192.168.1.1", "kivo.conf", "WireGuard config path rejected"},
  };
  env.files["kivo.conf"] = kConfigText;
  env.files["/var/root/other.conf"] = kConfigText;
  env.root_only_paths.insert("/var/root/other.conf");
  env.special_files.insert("/tmp/fifo");
  env.files["/tmp/huge.conf"] = std::string(65537, '#');
  for (const auto& c : cases)
    EXPECT_EQ(tunnel.start_tunnel(c.config, c.client, c.server, c.gateway, kConsoleUser).error(), c.message);
  env.existing_paths.erase(kWg);
  EXPECT_EQ(start().error(), "Missing privileged binary 'wg'");
  EXPECT_TRUE(env.commands().empty());
  // A file of the largest size, directly under the root, is a full path.
  env.existing_paths.insert(kWg);
  env.files["/kivo.conf"] = std::string(65536, '#');
  EXPECT_TRUE(start("/kivo.conf", kConsoleUser).ok());
}

}  // namespace
}  // namespace kivo
