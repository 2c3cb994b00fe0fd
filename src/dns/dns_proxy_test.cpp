#include "dns/dns_proxy.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "base/text.h"
#include "pf/pf_anchor.h"
#include "testing/fake_env.h"

namespace kivo {
namespace {

using Lines = std::vector<std::string>;
using Servers = std::vector<std::string>;

const std::string kUsb = "USB 10/100/1000 LAN";
const std::string kTb = "Thunderbolt Bridge";
const std::string kLoad = "pfctl -a com.apple/251.KivoVPNDNS -f /var/run/com.kivovpn.helper.dns.pf.rules";
const std::string kFlush = "pfctl -a com.apple/251.KivoVPNDNS -F all";
const std::string kShow = "pfctl -a com.apple/251.KivoVPNDNS -s nat";
const std::string kStale =
    "[Tarnwick DNS] stale state detected during watchdog; local proxy 127.0.0.1:1053 unreachable. Restoring DNS.";

std::string set_dns(const std::string& service, const std::string& servers) {
  return "networksetup -setdnsservers " + service + " " + servers;
}
Lines operator+(Lines first, const Lines& then) {
  first.insert(first.end(), then.begin(), then.end());
  return first;
}
// The world's services pointed at 127.0.0.1, and put back on their own servers, in order.
const Lines kPointed = {set_dns("Wi-Fi", "127.0.0.1"), set_dns(kUsb, "127.0.0.1"), set_dns(kTb, "127.0.0.1")};
const Lines kPutBack = {set_dns("Wi-Fi", "Empty"), set_dns(kUsb, "192.0.2.53 1.1.1.1"), set_dns(kTb, "9.9.9.9")};

// The record of an apply over the world's services.
std::string applied_record(const std::string& target, const std::string& token) {
  return R"({"target_dns":")" + target + R"(","services":[{"service":"Wi-Fi","dns_servers":null},)"
         R"({"service":"USB 10/100/1000 LAN","dns_servers":["192.0.2.53","1.1.1.1"]},)"
         R"({"service":"Thunderbolt Bridge","dns_servers":["9.9.9.9"]}],"pf_token":")" + token +
         R"(","updated_at":1700000000})";
}

struct Crash {};  // the helper process dying at a chosen command

// networksetup and pf as a small world: services with their servers, whether the DNS anchor
// holds rules, and the rule file as pf loaded it. Failures are injected by command line;
// `crash_at` ends the process before the n-th command (counting from 1) takes effect.
struct World : testing::FakeEnv {
  World() { handler = [this](const std::string& line) { return act(line); }; }
  std::vector<std::pair<std::string, DnsServers>> services{
      {"Wi-Fi", std::nullopt}, {kUsb, Servers{"192.0.2.53", "1.1.1.1"}}, {kTb, Servers{"9.9.9.9"}}};
  const std::vector<std::pair<std::string, DnsServers>> original = services;
  bool anchor_loaded = false;
  std::string loaded;
  int tokens_held = 0, tokens_issued = 0, crash_at = 0, seen = 0;
  std::map<std::string, std::string> failures;  // command line -> error text
  std::function<std::optional<CommandResult>(const std::string&)> before;  // answers ahead of the world

  std::optional<CommandResult> act(const std::string& line) {
    if (++seen == crash_at) throw Crash{};
    if (before)
      if (auto answer = before(line)) return answer;
    if (auto it = failures.find(line); it != failures.end()) return CommandResult(fail(it->second));
    if (line == "networksetup -listallnetworkservices") {
      std::string out = "An asterisk (*) denotes that a network service is disabled.\n*Bluetooth PAN\n";
      for (const auto& entry : services) out += entry.first + "\n";
      return CommandResult(out);
    }
    for (auto& [name, servers] : services) {
      if (line == "networksetup -getdnsservers " + name)
        return CommandResult(servers ? join(*servers, "\n") + "\n" : "There aren't any DNS Servers set on " + name + ".\n");
      if (std::string set = "networksetup -setdnsservers " + name + " "; starts_with(line, set)) {
        auto words = split_whitespace(std::string_view(line).substr(set.size()));
        if (words.size() == 1 && words[0] == "Empty") servers = std::nullopt;
        else servers = Servers(words.begin(), words.end());
        return CommandResult("");
      }
    }
    for (const auto& [name, servers] : original)
      if (starts_with(line, "networksetup -") && contains(line, " " + name))
        return CommandResult(fail(name + " is not a recognized network service.\n** Error: The parameters were not valid."));
    if (line == kLoad) {
      anchor_loaded = true;
      loaded = files[kDnsRulesPath];
    }
    if (line == kFlush) anchor_loaded = false;
    if (line == "pfctl -E") {
      ++tokens_held;
      return CommandResult("pf enabled\nToken : " + std::to_string(1000000 + ++tokens_issued) + "\n");
    }
    // Only the reference handed out last is given back by its own token.
    if (line == "pfctl -X " + std::to_string(1000000 + tokens_issued)) --tokens_held;
    if (line == kShow)  // as pfctl lists it: the notice first, and no line end after the last rule
      return CommandResult(anchor_loaded ? "No ALTQ support in kernel\nrdr pass on lo0 inet proto udp from any to "
                                           "127.0.0.1 port = 53 -> 127.0.0.1 port 1053" : "");
    return std::nullopt;
  }
  std::string record() { return files.count(kDnsStatePath) ? files[kDnsStatePath] : ""; }
  Lines sets() { return commands_of("networksetup -setdnsservers"); }
};

// Answers the n-th run of `line` (every run when n is 0) ahead of the world.
void answer_nth(World& w, const std::string& line, int n, CommandResult result) {
  w.before = [=, runs = 0](const std::string& seen) mutable -> std::optional<CommandResult> {
    if (seen == line && (n == 0 || ++runs == n)) return result;
    return std::nullopt;
  };
}

using Break = std::function<void(World&)>;
Break failing(const std::string& line, const std::string& error) {
  return [=](World& w) { w.failures[line] = error; };
}
Break nth(const std::string& line, int n, CommandResult result) {
  return [=](World& w) { answer_nth(w, line, n, result); };
}

// The lifecycle on one world: bad addresses refused, an apply over an unreadable record,
// verify, the same target again (idle, then after a service drifted), a new target, restore,
// and restore again.
TEST(DnsProxy, AppliesVerifiesReappliesTheSameOrANewTargetAndRestores) {
  World w;
  DnsProxy dns(w);
  for (std::string bad : {"", "localhost", "127.0.0.1 ", "127.0.0.1\n1.1.1.1", "300.0.0.1", "127.0.0.1/32"}) {
    EXPECT_EQ(dns.apply_dns_proxy(bad).error(), "Invalid IP provided: " + bad);
    EXPECT_EQ(dns.verify_dns_proxy(bad).error(), "Invalid IP provided: " + bad);
  }
  EXPECT_TRUE(w.commands().empty());

  // A record that cannot be read holds nothing to put back: the apply goes on over it.
  w.files[kDnsStatePath] = "{\"target_dns\":";
  EXPECT_EQ(*dns.apply_dns_proxy("127.0.0.1"), 3u);
  EXPECT_EQ(w.record(), applied_record("127.0.0.1", "1000001"));
  EXPECT_EQ(w.sets(), kPointed);
  EXPECT_EQ(w.loaded, "rdr pass on lo0 inet proto udp from any to 127.0.0.1 port 53 -> 127.0.0.1 port 1053\n"
                      "rdr pass on lo0 inet proto tcp from any to 127.0.0.1 port 53 -> 127.0.0.1 port 1053\n");
  EXPECT_FALSE(w.files.count(kDnsRulesPath));  // the rules live in pf alone now

  // Verified as in force, the same target again changes nothing.
  w.clear_commands();
  EXPECT_EQ(*dns.apply_dns_proxy("127.0.0.1"), 3u);
  EXPECT_EQ(w.sets(), Lines{});
  EXPECT_EQ(w.commands_of("pfctl"), (Lines{kShow, "pfctl -s info"}));

  // Verify answers from the services and pf as they are now, and the record it reads is still
  // the first apply's.
  w.failures["networksetup -getdnsservers Wi-Fi"] = "boom";
  EXPECT_EQ(dns.verify_dns_proxy("127.0.0.1").error(), "Failed to read DNS servers for 'Wi-Fi': boom");
  w.failures = {{kShow, "Operation not permitted"}};
  EXPECT_EQ(dns.verify_dns_proxy("127.0.0.1").error(), "Operation not permitted");
  w.failures.clear();
  answer_nth(w, kShow, 0,
             CommandResult("rdr pass on lo0 inet proto udp from any to 127.0.0.1 port 53 -> 127.0.0.1 port 53"));
  EXPECT_EQ(*dns.verify_dns_proxy("127.0.0.1"), (DnsVerification{false, 3}));  // redirected, but not to the proxy
  w.before = nullptr;
  w.services[1].second = Servers{"127.0.0.1", "1.1.1.1"};
  EXPECT_EQ(*dns.verify_dns_proxy("127.0.0.1"), (DnsVerification{false, 3}));

  // Once a service drifted, the same target is applied afresh: the recorded servers go back
  // first, then every service points at the target again.
  w.clear_commands();
  ASSERT_TRUE(dns.apply_dns_proxy("127.0.0.1").ok());
  EXPECT_EQ(w.sets(), kPutBack + kPointed);

  // A new target puts the user's servers back before backing them up, so that the backups are
  // theirs (the backups in the record could not have been read before); a service that would
  // not go back is backed up from the record, not from our server.
  w.failures[kPutBack[2]] = "Permission denied";
  w.clear_commands();
  EXPECT_EQ(*dns.apply_dns_proxy("2001:db8::53"), 3u);
  EXPECT_EQ(w.stderr_lines,
            Lines{"[Tarnwick DNS] pre-apply restore warning: Failed setting DNS for 'Thunderbolt Bridge': "
                  "Permission denied | DNS restore verification failed for service 'Thunderbolt Bridge'"});
  EXPECT_EQ(w.record(), applied_record("2001:db8::53", "1000003"));
  EXPECT_EQ(*dns.verify_dns_proxy("127.0.0.1"), (DnsVerification{false, 3}));

  w.failures.clear();
  w.clear_commands();
  EXPECT_EQ(*dns.restore_dns_proxy(), 3u);
  EXPECT_EQ(w.sets(), kPutBack);  // automatic servers go back as "Empty"
  EXPECT_EQ(w.commands_of("pfctl"), (Lines{kFlush, "pfctl -X 1000003", kShow}));
  EXPECT_EQ(w.tokens_held, 0);  // every earlier reference was given back too: none can be later
  EXPECT_EQ(w.record(), "");

  w.clear_commands();
  EXPECT_EQ(*dns.restore_dns_proxy(), 0u);  // nothing applied: nothing run, not even a probe
  EXPECT_EQ(*dns.verify_dns_proxy("127.0.0.1"), (DnsVerification{false, 0}));
  dns.recover_stale_dns_state("watchdog");
  EXPECT_TRUE(w.commands().empty());
  EXPECT_TRUE(w.tcp_probes.empty());
}

// Before the first service changes or after: the services end as they were, with no record,
// no redirection and no pf reference held. A check that says no and one that cannot tell undo alike.
// Only a service the undo could not put back stays, in a record without a token.
TEST(DnsProxy, EveryFailedApplyLeavesTheServicesAsTheyWere) {
  const Lines set_then_undone = kPointed + kPutBack;
  struct { Break break_it; std::string error; Lines sets; std::string record; } cases[] = {
      {failing("networksetup -listallnetworkservices", "boom"), "Failed to enumerate network services: boom"},
      {[](World& w) { w.services.clear(); }, "No active network services found for DNS configuration"},
      {failing("networksetup -getdnsservers " + kTb, "boom"), "Failed to read DNS servers for 'Thunderbolt Bridge': boom"},
      {[](World& w) { w.failing_writes.insert(kDnsStatePath); }, "Failed to persist DNS state: Read-only file system"},
      // The redirection's own steps, each undoing what it did before.
      {[](World& w) { w.failing_writes.insert(kDnsRulesPath); }, "Failed to write DNS PF rules: Read-only file system"},
      {failing(kLoad, "syntax error"), "Failed to load DNS PF anchor rules: syntax error"},
      {failing("pfctl -E", "busy"), "Failed to enable PF for DNS redirection: busy"},
      // Without a token no record names the rules: they go at once.
      {nth("pfctl -E", 0, CommandResult("pf enabled\n")), "Failed to parse PF token for DNS redirection"},
      // The record is written again, with the token, the moment pf hands it out.
      {[](World& w) {
         w.before = [&w](const std::string& line) -> std::optional<CommandResult> {
           if (line == "pfctl -E") w.failing_writes.insert(kDnsStatePath);
           return std::nullopt;
         };
       },
       "Failed to persist DNS state: Read-only file system"},
      {nth(kShow, 1, CommandResult(fail("pf is busy"))), "Failed to verify DNS PF NAT rules: pf is busy"},
      {nth(kShow, 1, CommandResult("No ALTQ support in kernel\n")), "DNS PF redirection verification failed"},
      // Only the services set before the failing one are put back.
      {failing(kPointed[1], "Permission denied"), "Failed setting DNS for 'USB 10/100/1000 LAN': Permission denied",
       {kPointed[0], kPointed[1], kPutBack[0]}},
      // The tool takes the setting but shows the old one back.
      {nth(kPointed[2], 0, CommandResult("")),
       "Verification failed: service 'Thunderbolt Bridge' did not apply DNS 127.0.0.1", set_then_undone},
      // The first read of a service is its backup, the second the check after setting.
      {nth("networksetup -getdnsservers Wi-Fi", 2, CommandResult(fail("timed out"))),
       "Failed to read DNS servers for 'Wi-Fi': timed out", set_then_undone},
      // The first listing belongs to the install, the second to the check after the services.
      {nth(kShow, 2, CommandResult(fail("pfctl: ioctl: Operation not permitted"))), "pfctl: ioctl: Operation not permitted",
       set_then_undone},
      {nth(kShow, 2, CommandResult("")), "Verification failed: DNS PF redirection is not active", set_then_undone},
      // USB refuses to go back and stays recorded; Wi-Fi vanishes as it goes back, which counts as back.
      {[](World& w) {
         answer_nth(w, "networksetup -getdnsservers " + kTb, 2, CommandResult(""));
         w.failures[kPutBack[1]] = "Permission denied";
         w.before = [&w, check = w.before](const std::string& line) -> std::optional<CommandResult> {
           if (line == kPutBack[0]) w.services.erase(w.services.begin());
           return check(line);
         };
       },
       "Verification failed: service 'Thunderbolt Bridge' did not apply DNS 127.0.0.1", set_then_undone,
       R"({"target_dns":"127.0.0.1","services":[{"service":"USB 10/100/1000 LAN","dns_servers":)"
       R"(["192.0.2.53","1.1.1.1"]}],"pf_token":null,"updated_at":1700000000})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    World w;
    w.files[kPfStatePath] = "{}";  // the kill switch's, which no DNS rollback may take
    c.break_it(w);
    EXPECT_EQ(DnsProxy(w).apply_dns_proxy("127.0.0.1").error(), c.error);
    EXPECT_EQ(w.sets(), c.sets);  // exact lines: where the services end follows from them
    EXPECT_FALSE(w.anchor_loaded);
    EXPECT_EQ(w.tokens_held, 0);
    EXPECT_EQ(w.record(), c.record);
    EXPECT_FALSE(w.files.count(kDnsRulesPath));
    EXPECT_TRUE(w.files.count(kPfStatePath));
  }
}

// What a restore cannot put back stays in the record, without the token it gave back; the
// recovery retries it every round, whether the proxy answers or not, and reports it once.
TEST(DnsProxy, RestoreProblemsAreGatheredKeptAndRetriedUntilBack) {
  World w;
  DnsProxy dns(w);
  ASSERT_TRUE(dns.apply_dns_proxy("127.0.0.1").ok());
  answer_nth(w, kPutBack[0], 0, CommandResult(""));  // taken, but Wi-Fi keeps our server
  w.failures["networksetup -getdnsservers " + kTb] = "timed out";
  w.failures[kFlush] = "busy";
  const Lines reported = {
      "[Tarnwick DNS] stale state detected during helper startup; local proxy 127.0.0.1:1053 unreachable. "
      "Restoring DNS.",
      "[Tarnwick DNS] stale-state restore during helper startup completed with warnings: "
      "DNS restore verification failed for service 'Wi-Fi'"
      " | Failed to verify DNS restore for service 'Thunderbolt Bridge': Failed to read DNS servers for "
      "'Thunderbolt Bridge': timed out"
      " | Failed removing DNS PF redirection: DNS PF anchor still has active NAT rules after removal"};
  dns.recover_stale_dns_state("helper startup");
  EXPECT_EQ(w.stderr_lines, reported);
  EXPECT_EQ(w.record(),
            R"({"target_dns":"127.0.0.1","services":[{"service":"Wi-Fi","dns_servers":null},)"
            R"({"service":"Thunderbolt Bridge","dns_servers":["9.9.9.9"]}],"pf_token":null,"updated_at":1700000000})");
  EXPECT_EQ(w.tokens_held, 0);

  w.tcp_listeners["127.0.0.1:1053"] = true;
  dns.recover_stale_dns_state("watchdog");
  // A service deleted since counts as back; with no token left only the anchor is flushed.
  w.failures.clear();
  w.before = nullptr;
  w.clear_commands();
  w.services.pop_back();
  dns.recover_stale_dns_state("watchdog");
  EXPECT_EQ(w.stderr_lines, reported);  // the warning of the round before is not repeated
  EXPECT_EQ(w.commands_of("pfctl"), (Lines{kFlush, kShow}));
  EXPECT_EQ(w.record(), "");
}

TEST(DnsProxy, RecoveryRestoresOnlyALoopbackTargetWhoseProxyIsGone) {
  struct { std::string target; bool proxy_listening, restored; } cases[] = {
      {"127.0.0.1", false, true}, {"127.0.0.1", true, false}, {"10.0.0.53", false, false}, {"::1", false, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    World w;
    DnsProxy dns(w);
    ASSERT_TRUE(dns.apply_dns_proxy(c.target).ok());
    w.tcp_listeners["127.0.0.1:1053"] = c.proxy_listening;
    dns.recover_stale_dns_state("watchdog");
    EXPECT_EQ(w.record().empty(), c.restored);
    EXPECT_EQ(w.services == w.original, c.restored);
    EXPECT_EQ(w.stderr_lines, c.restored ? Lines{kStale} : Lines{});
    EXPECT_EQ(w.tcp_probes, c.target == "127.0.0.1" ? Lines{"127.0.0.1:1053 within 250 ms"} : Lines{});
  }
}

// A helper killed at any point of an apply leaves a record of the user's servers, so that the
// next start puts them back and takes the anchor, its reference and its rule file away.
TEST(DnsProxy, CrashAnywhereInAnApplyIsUndoneByTheNextStart) {
  World probe;
  ASSERT_TRUE(DnsProxy(probe).apply_dns_proxy("127.0.0.1").ok());
  const int steps = probe.seen;
  for (int crash_at = 1; crash_at <= steps + 1; ++crash_at) {
    SCOPED_TRACE("crash before command " + std::to_string(crash_at));
    World w;
    w.crash_at = crash_at;
    try {
      (void)DnsProxy(w).apply_dns_proxy("127.0.0.1");
    } catch (const Crash&) {
    }
    w.crash_at = 0;
    DnsProxy(w).recover_stale_dns_state("helper startup");
    EXPECT_EQ(w.services, w.original);
    EXPECT_EQ(w.record(), "");
    EXPECT_FALSE(w.anchor_loaded);
    EXPECT_EQ(w.tokens_held, 0);
    EXPECT_FALSE(w.files.count(kDnsRulesPath));
  }
}

// The watchdog waits for an apply in progress instead of restoring half of it.
TEST(DnsProxy, WatchdogNeverRestoresInTheMiddleOfAnApply) {
  World w;
  DnsProxy dns(w);
  std::promise<void> paused, resume;
  auto paused_seen = paused.get_future();
  w.before = [&, resumed = resume.get_future().share()](const std::string& line) -> std::optional<CommandResult> {
    if (line == kPointed[1]) {
      paused.set_value();
      resumed.wait();
    }
    return std::nullopt;
  };
  std::thread apply([&] { EXPECT_TRUE(dns.apply_dns_proxy("127.0.0.1").ok()); });
  paused_seen.wait();
  std::thread watchdog([&] { dns.recover_stale_dns_state("watchdog"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(w.tcp_probes.empty());  // a watchdog not held back by the apply probes at once
  resume.set_value();
  apply.join();
  watchdog.join();
  // It ran after the whole apply and found the proxy gone; what its restore puts back is
  // RecoveryRestoresOnlyALoopbackTargetWhoseProxyIsGone's to prove.
  EXPECT_EQ(w.stderr_lines, Lines{kStale});
}

}  // namespace
}  // namespace kivo
