#include "pf/quic_mitigation.h"

#include <gtest/gtest.h>

#include "pf/pf_anchor.h"
#include "testing/pf_anchor_world.h"
#include "testing/macos_samples.h"

namespace kivo {
namespace {

using Lines = std::vector<std::string>;

const std::string kFlush = "pfctl -a com.apple/252.KivoVPNQuic -F all";
const std::string kShow = "pfctl -a com.apple/252.KivoVPNQuic -s rules";
const std::string kLoad = "pfctl -a com.apple/252.KivoVPNQuic -f /var/run/com.kivovpn.helper.quic.pf.rules";

TEST(QuicRuleListed, MatchesTheUdp443BlockInAnyCase) {
  const std::pair<const char*, bool> cases[] = {
      {"block drop out quick proto udp to any port 443\n", true},
      {"No ALTQ support in kernel\r\n  BLOCK DROP OUT QUICK PROTO UDP FROM ANY TO ANY PORT = 443\r\n", true},
      {"block drop out quick inet proto tcp from any to any port = 443", false},
      {"block drop out quick inet proto udp from any to any port = 53", false},
      {"block drop out quick inet proto udp from any to any port = 4433", false},
      {"No ALTQ support in kernel\nALTQ related functions disabled\n", false},
  };
  for (const auto& [listing, listed] : cases) EXPECT_EQ(quic_rule_listed(listing), listed) << listing;
  EXPECT_TRUE(quic_rule_listed(testing::macos_sample("pfctl rules")));
}

struct Pf : testing::PfAnchorWorld {
  Pf() : PfAnchorWorld(kLoad, kShow, kQuicRulesPath, kQuicStatePath, "Token : 8888",
                       {CommandResult("block drop out quick inet proto udp from any to any port = 443\n")}) {}
};

// Apply, apply again over the first, and remove: each time the recorded token is given back
// (which is how the first record shows).
TEST(QuicMitigation, AppliesTheOneRuleOverAnyEarlierOneAndRemovesIt) {
  Pf pf;
  QuicMitigation quic(pf);
  ASSERT_TRUE(*quic.apply_quic_mitigation());
  EXPECT_EQ(pf.loaded, "block drop out quick proto udp to any port 443\n");
  EXPECT_EQ(pf.record_at_verify, pf.files.at(kQuicStatePath));  // already there, should the helper die
  pf.script_ok("pfctl -E", "Token : 9999");
  ASSERT_TRUE(*quic.apply_quic_mitigation());
  EXPECT_EQ(pf.commands(), (Lines{kFlush, kLoad, "pfctl -E", kShow, "pfctl -s info", kFlush, "pfctl -X 8888", kLoad,
                                  "pfctl -E", kShow, "pfctl -s info"}));
  EXPECT_EQ(pf.files.at(kQuicStatePath), R"({"token":"9999","updated_at":1700000000})");
  EXPECT_FALSE(pf.files.count(kQuicRulesPath));

  // A record in another field order still names its token; without a record only the anchor
  // is flushed, and the rule file an apply cut short left goes too.
  pf.clear_commands();
  pf.files[kQuicStatePath] = R"({"updated_at":1,"token":"4321"})";
  EXPECT_FALSE(quic.remove_quic_mitigation());
  pf.files[kQuicRulesPath] = "block\n";
  EXPECT_FALSE(quic.remove_quic_mitigation());
  EXPECT_EQ(pf.commands(), (Lines{kFlush, "pfctl -X 4321", kFlush}));
  EXPECT_TRUE(pf.files.empty());
}

TEST(QuicMitigation, FailedStepsRollBack) {
  const Lines verified = {kFlush, kLoad, "pfctl -E", kShow, kFlush, "pfctl -X 8888"};
  struct { std::function<void(Pf&)> break_it; std::string error; Lines commands; } cases[] = {
      // A failed enable's text is the dispatcher's to prove, its undo the kill switch's: the
      // steps are the same.
      {[](Pf& pf) { pf.failing_writes.insert(kQuicRulesPath); }, "Failed to write QUIC PF rules: Read-only file system",
       {kFlush}},
      {[](Pf& pf) { pf.script_fail(kLoad, "syntax error"); }, "Failed to load QUIC PF anchor rules: syntax error",
       {kFlush, kLoad}},
      // Without a record nobody could give the reference back, so the block does not stay.
      {[](Pf& pf) { pf.failing_writes.insert(kQuicStatePath); }, "Read-only file system",
       {kFlush, kLoad, "pfctl -E", kFlush, "pfctl -X 8888"}},
      {[](Pf& pf) { pf.script_fail(kShow, "Permission denied"); }, "Permission denied", verified},
      {[](Pf& pf) { pf.script_fail(kShow, "pf is Disabled"); }, "QUIC mitigation verification failed", verified},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    Pf pf;
    pf.files[kPfStatePath] = "{}";  // the kill switch's, which no QUIC rollback may take
    c.break_it(pf);
    EXPECT_EQ(QuicMitigation(pf).apply_quic_mitigation().error(), c.error);
    EXPECT_EQ(pf.commands(), c.commands);
    EXPECT_EQ(pf.files, (std::map<std::string, std::string>{{kPfStatePath, "{}"}}));
  }
}

}  // namespace
}  // namespace kivo
