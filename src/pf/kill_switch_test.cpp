#include "pf/kill_switch.h"

#include <gtest/gtest.h>

#include "pf/pf_anchor.h"
#include "testing/pf_anchor_world.h"
#include "tunnel/runtime_state.h"

namespace kivo {
namespace {

using Lines = std::vector<std::string>;

const std::string kFlush = "pfctl -a com.apple/250.KivoVPN -F all";
const std::string kShow = "pfctl -a com.apple/250.KivoVPN -s rules";
const std::string kLoad = "pfctl -a com.apple/250.KivoVPN -f /var/run/com.kivovpn.helper.pf.rules";
const std::string kRelease = "pfctl -X 1234567890123456";
const std::string kListing = "No ALTQ support in kernel\nblock drop out quick all\n";

// pf as an apply meets it: enable hands out a token, the removal finds the anchor empty and the
// verify finds the block rule.
struct Pf : testing::PfAnchorWorld {
  Pf() : PfAnchorWorld(kLoad, kShow, kKillSwitchRulesPath, kPfStatePath, "pf enabled\nToken : 1234567890123456\n",
                       {CommandResult(""), CommandResult(kListing)}) {}
};

TEST(KillSwitch, RulesFollowTheRequestAndTheTunnelRecord) {
  auto to = [](const std::string& host) { return "pass out quick proto { tcp udp } to " + host + " keep state\n"; };
  auto on = [](const std::string& iface) { return "pass out quick on " + iface + " all keep state\n"; };
  struct { std::string iface, tunnel_server, request, rules, servers; std::optional<std::string> let_through; } cases[] = {
      {"", "", "198.51.100.7", to("198.51.100.7"), "198.51.100.7", std::nullopt},  // no tunnel record
      {"utun200", "198.51.100.7", "198.51.100.7", to("198.51.100.7") + on("utun200"), "198.51.100.7", "utun200"},
      {"utun", "203.0.113.9", "2001:db8::1", to("2001:db8::1") + to("203.0.113.9") + on("utun"),
       "2001:db8::1,203.0.113.9", "utun"},
      {"en0", "not-an-ip", "198.51.100.7", to("198.51.100.7"), "198.51.100.7", std::nullopt},
      {"utun2a", "198.51.100.8", "198.51.100.7", to("198.51.100.7") + to("198.51.100.8"), "198.51.100.7,198.51.100.8",
       std::nullopt},
  };
  for (const auto& c : cases) {
    Pf pf;
    if (!c.iface.empty())
      pf.files[kTunnelStatePath] = encode_runtime_state({7, c.iface, c.tunnel_server, "10.0.0.1", 1});
    ASSERT_TRUE(KillSwitch(pf).apply_kill_switch(c.request).ok());
    EXPECT_EQ(pf.loaded, "pass quick on lo0 all\n" + c.rules + "block drop out quick all\n");
    EXPECT_EQ(*decode_pf_state(pf.files.at(kPfStatePath)),
              (PfRuntimeState{"1234567890123456", c.servers, c.let_through, 1700000000}));
    // A helper that dies during the verification must leave the reference releasable.
    EXPECT_EQ(pf.record_at_verify, pf.files.at(kPfStatePath));
    EXPECT_FALSE(pf.files.count(kKillSwitchRulesPath));
  }
}

// Apply, apply again over the first (whose record shows in the token given back), and remove,
// each time giving the recorded token back; then verify against each way pf answers.
TEST(KillSwitch, ReappliesRemovesAndVerifies) {
  Pf pf;
  KillSwitch ks(pf);
  EXPECT_EQ(ks.apply_kill_switch("198.51.100").error(), "Invalid IP provided: 198.51.100");
  EXPECT_TRUE(pf.commands().empty());
  pf.script("pfctl -E", {CommandResult("Token : 1111"), CommandResult("Token : 2222")});
  ASSERT_TRUE(ks.apply_kill_switch("198.51.100.7").ok());
  ASSERT_TRUE(ks.apply_kill_switch("198.51.100.7").ok());  // what the removal's check lists changes nothing
  EXPECT_EQ(pf.commands(), (Lines{kFlush, kShow, kLoad, "pfctl -E", kShow,  //
                                  kFlush, "pfctl -X 1111", kShow, kLoad, "pfctl -E", kShow}));
  EXPECT_EQ(pf.files.at(kPfStatePath),
            R"({"token":"2222","server_ip":"198.51.100.7","iface":null,"updated_at":1700000000})");

  // A record in another field order and without iface still names its token; a rule file is
  // what a crash after loading leaves. An unreadable record, or a failing show, removes alike.
  pf.clear_commands();
  pf.files[kPfStatePath] = R"({"server_ip":"198.51.100.7","updated_at":5,"token":"5555"})";
  pf.files[kKillSwitchRulesPath] = "block drop out quick all\n";
  pf.script_ok(kShow, "No ALTQ support in kernel\n");
  EXPECT_TRUE(ks.remove_kill_switch().ok());
  pf.files[kPfStatePath] = "{not json";
  pf.script_fail(kShow, "pfctl: anchor missing");
  EXPECT_TRUE(ks.remove_kill_switch().ok());
  EXPECT_EQ(pf.commands(), (Lines{kFlush, "pfctl -X 5555", kShow, kFlush, kShow}));
  EXPECT_TRUE(pf.files.empty());

  // Verify reads the anchor listing, and pf itself for whether the rules are in force.
  const std::string on = "Status: Enabled for 0 days 00:00:12           Debug: Urgent\n";
  const std::string off = "No ALTQ support in kernel\nALTQ related functions disabled\nStatus: Disabled for 0 days 00:00:03\n";
  const struct { std::string shown, info; bool enabled; } cases[] = {
      {kListing, on, true},
      // pf lists a loaded anchor while it is disabled too.
      {kListing, off, false},
      {"pass quick on lo0 all\n", on, false},
  };
  for (const auto& c : cases) {
    pf.script_ok(kShow, c.shown);
    pf.script_ok("pfctl -s info", c.info);
    EXPECT_EQ(*ks.verify_kill_switch(), c.enabled) << c.info;  // an error throws, and fails the test
  }
}

TEST(KillSwitch, EveryFailedStepUndoesWhatItDid) {
  struct { std::function<void(Pf&)> break_it; std::string error; Lines after_removal; } cases[] = {
      {[](Pf& pf) { pf.failing_writes.insert(kKillSwitchRulesPath); }, "Failed to write pf rules: Read-only file system", {}},
      {[](Pf& pf) { pf.script_fail(kLoad, "syntax error"); }, "Failed to load pf anchor rules: syntax error", {kLoad}},
      {[](Pf& pf) { pf.script_fail("pfctl -E", "busy"); }, "Failed to enable pf: busy", {kLoad, "pfctl -E", kFlush}},
      {[](Pf& pf) { pf.script(kShow, {CommandResult(""), CommandResult(fail("pf disabled"))}); },
       "Failed to verify pf anchor rules: pf disabled", {kLoad, "pfctl -E", kShow, kFlush, kRelease}},
      {[](Pf& pf) { pf.script(kShow, {CommandResult(""), CommandResult("pass quick on lo0 all\n")}); },
       "Verification failed: expected kill-switch block rule missing", {kLoad, "pfctl -E", kShow, kFlush, kRelease}},
      {[](Pf& pf) { pf.failing_writes.insert(kPfStatePath); }, "Failed to persist kill-switch state: Read-only file system",
       {kLoad, "pfctl -E", kFlush, kRelease}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    Pf pf;
    c.break_it(pf);
    EXPECT_EQ(KillSwitch(pf).apply_kill_switch("198.51.100.7").error(), c.error);
    Lines commands = pf.commands();
    EXPECT_EQ(Lines(commands.begin() + 2, commands.end()), c.after_removal);
    EXPECT_TRUE(pf.files.empty());
  }
}

}  // namespace
}  // namespace kivo
