#!/usr/bin/python3
"""The pfctl stand-in: its command forms and texts, and real packets through the rules it loads.

Every test runs in network namespaces of its own (needs root, nft and conntrack) and sends
traffic only to loopback or to addresses inside those namespaces.
"""

import concurrent.futures
import itertools
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

BIN = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bin")
PFCTL = os.path.join(BIN, "pfctl")
sys.dont_write_bytecode = True
sys.path.insert(0, BIN)
import pfctl_rules  # noqa: E402

KILL_SWITCH = "com.apple/250.KivoVPN"
DNS = "com.apple/251.KivoVPNDNS"
QUIC = "com.apple/252.KivoVPNQuic"
QUIC_RULE = "block drop out quick proto udp to any port 443\n"
DNS_RULES = ("rdr pass on lo0 inet proto udp from any to 127.0.0.1 port 53 -> 127.0.0.1 port 1053\n"
             "rdr pass on lo0 inet proto tcp from any to 127.0.0.1 port 53 -> 127.0.0.1 port 1053\n")

CLIENT, ALLOWED, OTHER = "10.213.0.1", "10.213.0.2", "10.213.0.3"


def kill_switch_rules(*hosts, iface=None):
    lines = ["pass quick on lo0 all"]
    lines += ["pass out quick proto { tcp udp } to %s keep state" % host for host in hosts]
    lines += ["pass out quick on %s all keep state" % iface] if iface else []
    lines += ["block drop out quick all"]
    return "".join(line + "\n" for line in lines)


# Runs in the client namespace. Each argument is one probe:
#   udp,HOST,PORT[,SRCPORT]     send one datagram
#   tcp,HOST,PORT               try to connect (a refusal means the SYN got there)
#   udploop,HOST,PORT,LISTEN    send to PORT, report whether a socket on LISTEN received it
#   tcploop,HOST,PORT,LISTEN    connect to PORT, report whether a listener on LISTEN accepted
PROBE = r"""
import json, socket, sys
def family(host):
    return socket.AF_INET6 if ":" in host else socket.AF_INET
def probe(kind, host, port, extra):
    if kind == "udp":
        s = socket.socket(family(host), socket.SOCK_DGRAM)
        if extra:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            s.bind(("", int(extra)))
        s.sendto(b"kivo", (host, port))
        return "sent"
    if kind == "tcp":
        s = socket.socket(family(host), socket.SOCK_STREAM)
        s.settimeout(0.3)
        s.connect((host, port))
        return "connected"
    sock_type = socket.SOCK_DGRAM if kind == "udploop" else socket.SOCK_STREAM
    listener = socket.socket(family(host), sock_type)
    listener.bind((host, int(extra)))
    listener.settimeout(0.3)
    sender = socket.socket(family(host), sock_type)
    sender.settimeout(0.3)
    if kind == "udploop":
        sender.sendto(b"kivo", (host, port))
        return "received" if listener.recvfrom(16)[0] == b"kivo" else "garbled"
    listener.listen(1)
    sender.connect((host, port))
    listener.accept()
    return "accepted"
results = {}
for probe_line in sys.argv[1:]:
    kind, host, port, *extra = probe_line.split(",")
    try:
        results[probe_line] = probe(kind, host, int(port), extra[0] if extra else None)
    except OSError as error:
        results[probe_line] = error.strerror or type(error).__name__
print(json.dumps(results))
"""

_names = itertools.count()


def sh(*argv, check=True, stdin=None):
    result = subprocess.run(argv, input=stdin, capture_output=True, text=True)
    if check and result.returncode != 0:
        raise AssertionError("%s failed: %s%s" % (" ".join(argv), result.stdout, result.stderr))
    return result


class Namespace:
    def __init__(self, test, suffix=""):
        self.name = "kivo-pft-%d-%d%s" % (os.getpid(), next(_names), suffix)
        sh("ip", "netns", "add", self.name)
        test.addCleanup(sh, "ip", "netns", "del", self.name, check=False)
        self.run("ip", "link", "set", "lo", "up")

    def run(self, *argv, check=True, stdin=None, env=None):
        prefix = ["nsenter", "--net=/var/run/netns/" + self.name]
        if env:
            prefix += ["env"] + ["%s=%s" % item for item in env.items()]
        return sh(*prefix, *argv, check=check, stdin=stdin)


class PfctlTestCase(unittest.TestCase):
    def setUp(self):
        self.state_dir = tempfile.mkdtemp(prefix="kivo-pft-state-")
        self.addCleanup(shutil.rmtree, self.state_dir, True)
        self.ns = Namespace(self)

    def pfctl(self, *args, check=True):
        return self.ns.run(PFCTL, *args, check=check, env={"KIVO_PFCTL_STATE_DIR": self.state_dir})

    def load(self, anchor, text, check=True):
        path = os.path.join(self.state_dir, "rules-%d" % next(_names))
        with open(path, "w") as stream:
            stream.write(text)
        return self.pfctl("-a", anchor, "-f", path, check=check)

    def enable(self):
        match = re.search(r"Token : (\d+)\s*$", self.pfctl("-E").stderr)
        self.assertIsNotNone(match)
        return match.group(1)

    def shown(self, anchor, kind="rules"):
        return self.pfctl("-a", anchor, "-s", kind).stdout.splitlines()

    def status(self):
        return self.pfctl("-s", "info").stdout.splitlines()[0].split()[1]


class CommandFormsTest(PfctlTestCase):
    def test_rules_are_shown_back_in_pf_wording(self):
        self.load(KILL_SWITCH, kill_switch_rules("198.51.100.7", "2001:db8::7", iface="utun200"))
        self.load(QUIC, QUIC_RULE)
        self.load(DNS, DNS_RULES)
        self.enable()
        self.assertEqual(self.shown(KILL_SWITCH), [
            "pass quick on lo0 all flags S/SA keep state",
            "pass out quick inet proto tcp from any to 198.51.100.7 flags S/SA keep state",
            "pass out quick inet proto udp from any to 198.51.100.7 keep state",
            "pass out quick inet6 proto tcp from any to 2001:db8::7 flags S/SA keep state",
            "pass out quick inet6 proto udp from any to 2001:db8::7 keep state",
            "pass out quick on utun200 all flags S/SA keep state",
            "block drop out quick all"])
        self.assertEqual(self.shown(QUIC), ["block drop out quick proto udp from any to any port = 443"])
        self.assertEqual(self.shown(DNS, "nat"), [
            "rdr pass on lo0 inet proto udp from any to 127.0.0.1 port = 53 -> 127.0.0.1 port 1053",
            "rdr pass on lo0 inet proto tcp from any to 127.0.0.1 port = 53 -> 127.0.0.1 port 1053"])
        # Each show lists only its own kind of rule, and an anchor never loaded is empty.
        self.assertEqual(self.shown(DNS, "rules"), [])
        self.assertEqual(self.shown(QUIC, "nat"), [])
        self.assertEqual(self.shown("com.apple/253.Unused"), [])

    def test_flush_empties_only_its_anchor(self):
        self.load(KILL_SWITCH, kill_switch_rules("198.51.100.7"))
        self.load(QUIC, QUIC_RULE)
        self.enable()
        flushed = self.pfctl("-a", KILL_SWITCH, "-F", "all")
        self.assertIn("rules cleared", flushed.stderr)
        self.assertEqual(self.shown(KILL_SWITCH), [])
        self.assertEqual(len(self.shown(QUIC)), 1)
        self.pfctl("-a", "com.apple/253.Unused", "-F", "all")  # flushing nothing is fine

    def test_references_keep_pf_enabled_until_the_last_is_released(self):
        self.assertEqual(self.status(), "Disabled")
        first = self.pfctl("-E").stderr
        self.assertEqual(first.splitlines()[-2:][0], "pf enabled")
        token_a = re.fullmatch(r"Token : (\d{4,})", first.splitlines()[-1]).group(1)
        token_b = self.enable()
        self.assertNotEqual(token_a, token_b)
        self.assertEqual(self.status(), "Enabled")

        self.pfctl("-X", token_a)
        self.assertEqual(self.status(), "Enabled")
        self.assertEqual(self.pfctl("-X", token_a, check=False).returncode, 1)
        self.assertEqual(self.pfctl("-X", "12345", check=False).returncode, 1)
        self.pfctl("-X", token_b)
        self.assertEqual(self.status(), "Disabled")

    def test_show_fails_with_disabled_while_pf_is_off(self):
        self.load(KILL_SWITCH, kill_switch_rules("198.51.100.7"))
        for kind in ("rules", "nat"):
            shown = self.pfctl("-a", KILL_SWITCH, "-s", kind, check=False)
            self.assertNotEqual(shown.returncode, 0)
            self.assertIn("disabled", shown.stderr.lower())
        self.assertEqual(self.pfctl("-s", "info").returncode, 0)
        # The rules loaded while pf was off are there once it is on.
        self.enable()
        self.assertIn("block drop out quick all", self.shown(KILL_SWITCH))

    def test_bad_rule_file_changes_nothing(self):
        self.load(KILL_SWITCH, kill_switch_rules("198.51.100.7"))
        self.enable()
        before = self.shown(KILL_SWITCH)
        ruleset_before = self.ns.run("nft", "list", "ruleset").stdout
        bad_lines = [
            "pass out proto { tcp udp } to 198.51.100.9 keep state",  # not quick
            "block drop in quick all",
            "block out quick all",
            "pass out quick proto icmp all",
            "pass out quick proto { tcp udp } to 198.51.100.300 keep state",
            "pass out quick inet proto udp to 2001:db8::1",
            "pass out quick to any port 443",
            "pass out quick on lo0 all keep state extra",
            "rdr pass on lo0 inet proto udp from any to 127.0.0.1 port 53 -> 127.0.0.1 port 99999",
            "rdr pass on lo0 inet proto udp from any to 127.0.0.1 port 53 -> 127.0.0.1 port 1053",
        ]
        for bad in bad_lines:
            with self.subTest(bad=bad):
                loaded = self.load(KILL_SWITCH, "pass quick on lo0 all\n\n" + bad + "\n", check=False)
                self.assertEqual(loaded.returncode, 1)
                self.assertRegex(loaded.stderr, r"^\S+rules-\d+:3: syntax error\n")
        missing = self.pfctl("-a", KILL_SWITCH, "-f", "/nonexistent/kivo.rules", check=False)
        self.assertIn("No such file", missing.stderr)
        self.assertEqual(self.shown(KILL_SWITCH), before)
        self.assertEqual(self.ns.run("nft", "list", "ruleset").stdout, ruleset_before)

    def test_shown_rules_load_back_unchanged(self):
        self.load(KILL_SWITCH, kill_switch_rules("198.51.100.7", iface="utun3"))
        self.load(DNS, DNS_RULES)
        self.load(QUIC, QUIC_RULE)
        self.enable()
        for anchor, kind in ((KILL_SWITCH, "rules"), (DNS, "nat"), (QUIC, "rules")):
            shown = self.shown(anchor, kind)
            self.load(anchor, "".join(line + "\n" for line in shown))
            self.assertEqual(self.shown(anchor, kind), shown)

    def test_concurrent_invocations_keep_every_reference(self):
        with concurrent.futures.ThreadPoolExecutor(6) as pool:
            tokens = list(pool.map(lambda _: self.enable(), range(6)))
            self.assertEqual(len(set(tokens)), 6)
            self.assertEqual(self.status(), "Enabled")
            list(pool.map(lambda token: self.pfctl("-X", token), tokens))
        self.assertEqual(self.status(), "Disabled")

    def test_state_without_its_nftables_table_counts_as_fresh(self):
        self.load(QUIC, QUIC_RULE)
        self.enable()
        self.ns.run("nft", "delete", "table", "inet", "kivo_pf")
        self.assertEqual(self.status(), "Disabled")
        self.enable()
        self.assertEqual(self.shown(QUIC), [])

    def test_forms_outside_the_supported_set_fail(self):
        for args in ([], ["-a", QUIC, "-E"], ["-f", "/dev/null"], ["-s", "states"],
                     ["-a", QUIC, "-F", "tables"], ["-E", "-X", "1234"], ["-k", "example"],
                     ["-k", "0.0.0.0/0", "-k", "::1"], ["-a"], ["-Q"]):
            with self.subTest(args=args):
                self.assertEqual(self.pfctl(*args, check=False).returncode, 1)


class RuleGrammarTest(unittest.TestCase):
    def test_protocol_lists_expand_in_order(self):
        filters, nats = pfctl_rules.parse_ruleset("pass out quick proto {udp, tcp} to 192.0.2.1\n")
        self.assertEqual([rule["proto"] for rule in filters], ["udp", "tcp"])
        self.assertEqual(nats, [])

    def test_comments_and_blank_lines_are_ignored(self):
        filters, _ = pfctl_rules.parse_ruleset("# kill switch\n\n  block drop out quick all  # last\n")
        self.assertEqual([pfctl_rules.show_rule(rule) for rule in filters], ["block drop out quick all"])

    def test_translation_rules_must_come_first(self):
        with self.assertRaises(pfctl_rules.RuleSyntaxError) as raised:
            pfctl_rules.parse_ruleset("block drop out quick all\n" + DNS_RULES)
        self.assertEqual(raised.exception.line_number, 2)

    def test_family_must_agree_with_the_addresses(self):
        for text in ("pass out quick inet6 proto udp to 192.0.2.1\n",
                     "rdr on lo0 proto udp from any to ::1 port 53 -> 127.0.0.1 port 1053\n"):
            with self.subTest(text=text), self.assertRaises(pfctl_rules.RuleSyntaxError):
                pfctl_rules.parse_ruleset(text)


class TrafficTest(PfctlTestCase):
    """A client namespace joined by a veth pair to a far namespace that counts what arrives."""

    def setUp(self):
        super().setUp()
        self.far = Namespace(self, "f")
        self.ns.run("ip", "link", "add", "veth0", "type", "veth", "peer", "name", "veth1",
                    "netns", self.far.name)
        self.ns.run("ip", "addr", "add", CLIENT + "/24", "dev", "veth0")
        self.ns.run("ip", "link", "set", "veth0", "up")
        for address in (ALLOWED, OTHER):
            self.far.run("ip", "addr", "add", address + "/24", "dev", "veth1")
        self.far.run("ip", "link", "set", "veth1", "up")

    def send(self, *probe_list):
        """Runs the probes from the client; returns {probe_line: (outcome, packets that arrived)}."""
        rules = ""
        for probe_line in probe_list:
            kind, host, port, *source_port = probe_line.split(",")
            if kind in ("udp", "tcp"):
                match = "%s daddr %s %s dport %s" % ("ip6" if ":" in host else "ip", host, kind, port)
                match += " %s sport %s" % (kind, source_port[0]) if source_port else ""
                rules += '    %s counter comment "%s"\n' % (match, probe_line)
        self.far.run("nft", "-f", "-", stdin="table inet count\ndelete table inet count\n"
                     "table inet count {\n  chain input {\n    type filter hook input priority 0;\n"
                     + rules + "  }\n}\n")
        outcome = json.loads(self.ns.run("/usr/bin/python3", "-c", PROBE, *probe_list).stdout)
        arrived = {}
        listing = json.loads(self.far.run("nft", "-j", "list", "table", "inet", "count").stdout)
        for item in listing["nftables"]:
            rule = item.get("rule")
            if rule:
                packets = [e["counter"]["packets"] for e in rule["expr"] if "counter" in e]
                arrived[rule["comment"]] = packets[0]
        return {probe_line: (outcome[probe_line], arrived.get(probe_line)) for probe_line in probe_list}

    def assertArrives(self, results, *probe_list):
        for probe_line in probe_list:
            self.assertGreater(results[probe_line][1], 0, "%s: %s" % (probe_line, results[probe_line]))

    def assertDropped(self, results, *probe_list):
        for probe_line in probe_list:
            self.assertEqual(results[probe_line][1], 0, "%s: %s" % (probe_line, results[probe_line]))

    def test_kill_switch_passes_only_loopback_and_the_allowed_host(self):
        self.load(KILL_SWITCH, kill_switch_rules(ALLOWED))
        probes = ("udp,%s,5000" % ALLOWED, "tcp,%s,5001" % ALLOWED,
                  "udp,%s,5000" % OTHER, "tcp,%s,5001" % OTHER)
        # Loaded but not enabled: the rules do not act yet.
        self.assertArrives(self.send(*probes), *probes)

        token = self.enable()
        results = self.send(*probes, "udploop,127.0.0.1,7000,7000", "tcploop,::1,7001,7001")
        self.assertArrives(results, *probes[:2])
        self.assertEqual(results["tcp,%s,5001" % ALLOWED][0], "Connection refused")
        self.assertDropped(results, *probes[2:])
        self.assertEqual(results["udploop,127.0.0.1,7000,7000"][0], "received")
        self.assertEqual(results["tcploop,::1,7001,7001"][0], "accepted")

        self.pfctl("-X", token)
        self.assertArrives(self.send(*probes[2:]), *probes[2:])

    def test_quic_block_drops_only_udp_to_443(self):
        self.load(QUIC, QUIC_RULE)
        self.enable()
        quic, https, dns = ("udp,%s,443" % ALLOWED, "tcp,%s,443" % ALLOWED, "udp,%s,53" % ALLOWED)
        results = self.send(quic, https, dns)
        self.assertDropped(results, quic)
        self.assertArrives(results, https, dns)

    def test_anchors_are_evaluated_in_name_order(self):
        # A quick pass in 250 decides before the QUIC block in 252 is looked at.
        self.load(QUIC, QUIC_RULE)
        self.load(KILL_SWITCH, kill_switch_rules(ALLOWED))
        self.enable()
        results = self.send("udp,%s,443" % ALLOWED, "udp,%s,443" % OTHER)
        self.assertArrives(results, "udp,%s,443" % ALLOWED)
        self.assertDropped(results, "udp,%s,443" % OTHER)

    def test_states_outlive_rule_changes_until_killed(self):
        self.load(KILL_SWITCH, kill_switch_rules(ALLOWED))
        self.enable()
        flow, fresh_flow = "udp,%s,5000,40000" % ALLOWED, "udp,%s,5000,40001" % ALLOWED
        self.assertArrives(self.send(flow), flow)

        # The allowed host changes: the tracked flow keeps its pf state, a new one is dropped.
        self.load(KILL_SWITCH, kill_switch_rules(OTHER))
        results = self.send(flow, fresh_flow)
        self.assertArrives(results, flow)
        self.assertDropped(results, fresh_flow)

        killed = self.pfctl("-k", "0.0.0.0/0", "-k", ALLOWED)
        self.assertRegex(killed.stderr, r"^killed 1 states from 1 sources and \d+ destinations")
        self.assertDropped(self.send(flow), flow)
        self.assertIn("killed 0 states", self.pfctl("-k", "0.0.0.0/0", "-k", ALLOWED).stderr)

    def test_kill_states_of_an_ipv6_host(self):
        self.load(KILL_SWITCH, kill_switch_rules("::1"))
        self.enable()
        self.send("udploop,::1,7002,7002")
        self.assertRegex(self.pfctl("-k", "::/0", "-k", "::1").stderr, r"^killed [1-9]\d* states")
        self.assertIn("killed 0 states", self.pfctl("-k", "::/0", "-k", "::1").stderr)

    def test_dns_redirection_reaches_the_proxy_port(self):
        self.load(DNS, DNS_RULES)
        udp, tcp = "udploop,127.0.0.1,53,1053", "tcploop,127.0.0.1,53,1053"
        token = self.enable()
        results = self.send(udp, tcp)
        self.assertEqual(results[udp][0], "received")
        self.assertEqual(results[tcp][0], "accepted")
        # Under the kill switch too: loopback passes and the redirection still applies.
        self.load(KILL_SWITCH, kill_switch_rules(ALLOWED))
        self.assertEqual(self.send(udp)[udp][0], "received")
        self.pfctl("-X", token)
        self.assertNotEqual(self.send(udp)[udp][0], "received")


def setUpModule():
    if os.geteuid() != 0:
        raise unittest.SkipTest("needs root for network namespaces")
    for tool in ("ip", "nsenter", "nft", "conntrack"):
        if shutil.which(tool) is None:
            raise unittest.SkipTest("needs " + tool)


if __name__ == "__main__":
    unittest.main()
