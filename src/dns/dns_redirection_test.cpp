#include "dns/dns_redirection.h"

#include <gtest/gtest.h>

#include "dns/dns_state.h"
#include "pf/pf_anchor.h"
#include "testing/fake_env.h"

namespace kivo {
namespace {

using Lines = std::vector<std::string>;

const std::string kLoad = "pfctl -a com.apple/251.KivoVPNDNS -f /var/run/com.kivovpn.helper.dns.pf.rules";
const std::string kFlush = "pfctl -a com.apple/251.KivoVPNDNS -F all";
const std::string kShow = "pfctl -a com.apple/251.KivoVPNDNS -s nat";
const std::string kListing =
    "No ALTQ support in kernel\nALTQ related functions disabled\n"
    "rdr pass on lo0 inet proto udp from any to 127.0.0.1 port = 53 -> 127.0.0.1 port 1053\n"
    "rdr pass on lo0 inet proto tcp from any to 127.0.0.1 port = 53 -> 127.0.0.1 port 1053\n";

// pf as an install meets it; the rule file is captured when it is loaded. When the record is
// written is proven by the DNS proxy's crash-at-every-step test.
struct Pf : testing::FakeEnv {
  Pf() {
    script_ok("pfctl -E", "No ALTQ support in kernel\npf enabled\nToken : 7700123456789012\n");
    script_ok(kShow, kListing);
    handler = [this](const std::string& line) -> std::optional<CommandResult> {
      if (line == kLoad) loaded = files[kDnsRulesPath];
      return std::nullopt;
    };
  }
  std::string loaded;
};

Result<std::string> install(Pf& pf) {
  return install_dns_redirection(pf, [](const std::optional<std::string>& token) { return "token=" + token.value_or("none"); });
}

// How pf answers, and pf being off, are read alike for every anchor: the kill switch's verify
// table holds those rows; here only the DNS listing is read.
TEST(DnsRedirection, InstallsTheTwoRulesHandsOverTheTokenAndVerifiesByTheProxyPort) {
  Pf pf;
  EXPECT_EQ(*install(pf), "7700123456789012");
  EXPECT_EQ(pf.loaded,
            "rdr pass on lo0 inet proto udp from any to 127.0.0.1 port 53 -> 127.0.0.1 port 1053\n"
            "rdr pass on lo0 inet proto tcp from any to 127.0.0.1 port 53 -> 127.0.0.1 port 1053\n");
  EXPECT_EQ(pf.commands(), (Lines{kLoad, "pfctl -E", kShow}));
  EXPECT_EQ(pf.files, (std::map<std::string, std::string>{{kDnsStatePath, "token=7700123456789012"}}));

  const std::pair<std::string, bool> listings[] = {
      {kListing, true},
      {"rdr pass on lo0 inet proto udp from any to 127.0.0.1 port 53 -> 127.0.0.1 port 1053", true},
      {"rdr pass on lo0 inet proto udp from any to 127.0.0.1 port 53 -> 127.0.0.1 port 53\n", false},
  };
  for (const auto& [shown, active] : listings) {
    pf.script_ok(kShow, shown);
    EXPECT_EQ(*verify_dns_redirection(pf), active) << shown;
  }
}

TEST(DnsRedirection, EveryFailedInstallStepSaysWhyAndUndoesItsOwnSteps) {
  const std::string release = "pfctl -X 7700123456789012";
  const Lines checked = {kLoad, "pfctl -E", kShow, kFlush, release};
  struct { std::function<void(Pf&)> break_it; std::string error; Lines commands; bool rule_file_left = false; } cases[] = {
      {[](Pf& pf) { pf.failing_writes.insert(kDnsRulesPath); }, "Failed to write DNS PF rules: Read-only file system", {}},
      {[](Pf& pf) { pf.script_fail(kLoad, "syntax error"); }, "Failed to load DNS PF anchor rules: syntax error", {kLoad}},
      {[](Pf& pf) { pf.script_fail("pfctl -E", "busy"); }, "Failed to enable PF for DNS redirection: busy",
       {kLoad, "pfctl -E", kFlush}},
      // Without a token nothing is undone: the next removal flushes the anchor without one.
      {[](Pf& pf) { pf.script_ok("pfctl -E", "pf enabled\n"); }, "Failed to parse PF token for DNS redirection",
       {kLoad, "pfctl -E"}, true},
      {[](Pf& pf) { pf.failing_writes.insert(kDnsStatePath); }, "Failed to persist DNS state: Read-only file system",
       {kLoad, "pfctl -E", kFlush, release}},
      {[](Pf& pf) { pf.script_fail(kShow, "pf is busy"); }, "Failed to verify DNS PF NAT rules: pf is busy", checked},
      {[](Pf& pf) { pf.script_ok(kShow, "No ALTQ support in kernel\n"); }, "DNS PF redirection verification failed",
       checked},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    Pf pf;
    pf.files[kPfStatePath] = "{}";  // the kill switch's, which no DNS rollback may take
    c.break_it(pf);
    EXPECT_EQ(install(pf).error(), c.error);
    EXPECT_EQ(pf.commands(), c.commands);
    EXPECT_EQ(pf.files.count(kDnsRulesPath), c.rule_file_left ? 1u : 0u);
    EXPECT_EQ(pf.files.count(kDnsStatePath), 0u);  // no record claims an undone load
    EXPECT_EQ(pf.files.count(kPfStatePath), 1u);
  }
}

}  // namespace
}  // namespace kivo
