#!/usr/bin/python3
"""The pfctl stand-in: its command forms and texts, and real packets through the rules it
loads, in a sandbox's client whose server answers what arrives."""
import concurrent.futures
import re
import unittest

from standin_support import StandinTest, macos_sample, needs_root
from sandbox import Sandbox

KILL_SWITCH, QUIC = "com.apple/250.KivoVPN", "com.apple/252.KivoVPNQuic"
QUIC_RULE = "block drop out quick proto udp to any port 443\n"
ALLOWED, OTHER, RULES = Sandbox.PUBLIC_IP, Sandbox.PUBLIC_IP_2, "/tmp/kivo.rules"


def kill_switch_rules(*hosts):
    lines = ["pass quick on lo0 all"] + [f"pass out quick proto {{ tcp udp }} to {host} keep state" for host in hosts]
    return "".join(line + "\n" for line in lines + ["block drop out quick all"])


# Runs in the client: each argument "host,port,source port" sends one datagram and prints the
# argument when an answer comes back; a fixed source port (not 0) lets the same flow be sent again.
PROBE = r"""
import contextlib, socket, sys
for probe in sys.argv[1:]:
    host, port, source = probe.split(",")
    sender = socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET, socket.SOCK_DGRAM)
    sender.settimeout(0.3)
    with contextlib.suppress(OSError):
        sender.bind(("", int(source)))
        sender.sendto(b"kivo", (host, int(port)))
        sender.recv(64)
        print(probe)
"""


@needs_root
class PfctlTest(StandinTest):
    TOOL = "pfctl"
    # The sandbox's own /tmp hides a checkout that lives there: run the tool where the sandbox puts it.
    TOOL_DIR = Sandbox.INSIDE_PLATFORM_DIR

    def load(self, anchor, text):
        self.ns.path(RULES).write_text(text)
        self.ok("-a", anchor, "-f", RULES)

    def enable(self):
        """The reference token, printed last as pf does."""
        return re.search(r"Token : (\d{4,})\n\Z", self.tool("-E").stderr).group(1)

    def shown(self, anchor):
        return self.ok("-a", anchor, "-s", "rules").splitlines()

    def reached(self, *probes):
        """{probe: whether the server answered it}."""
        answered = self.ns.run("/usr/bin/python3", "-c", PROBE, *probes).stdout.split()
        return {probe: probe in answered for probe in probes}

    def test_listings_references_rule_order_and_states_in_one_pf(self):
        self.ns = self.enterContext(Sandbox())
        # The helper's IPv4, tunnel, QUIC and DNS rules are loaded and read back in the end-to-end tests.
        self.load(KILL_SWITCH, kill_switch_rules("2001:db8::7"))
        self.load(QUIC, QUIC_RULE)
        # Listed whether pf is on or not, as on a Mac.
        self.assertEqual(self.ok("-s", "info").split()[1], "Disabled")
        self.fails([(["-d"], 1, "pfctl: pf not enabled")])
        self.assertEqual(self.shown(KILL_SWITCH), [
            "pass quick on lo0 all flags S/SA keep state",
            "pass out quick inet6 proto tcp from any to 2001:db8::7 flags S/SA keep state",
            "pass out quick inet6 proto udp from any to 2001:db8::7 keep state", "block drop out quick all"])

        # Features take and release their references from several threads at once; pf stays enabled
        # until the last is released (the helper's release of the last is the QUIC end-to-end test's).
        with concurrent.futures.ThreadPoolExecutor(4) as pool:
            tokens = list(pool.map(lambda _: self.enable(), range(4)))
            list(pool.map(lambda token: self.ok("-X", token), tokens[1:]))
        self.assertEqual((len(set(tokens)), self.ok("-s", "info").split()[1]), (4, "Enabled"))
        self.fails([(["-X", tokens[1]], 1, "Invalid argument"), (["-X", "12345"], 1, "Invalid argument")])

        # A bad file changes nothing.
        before = (self.shown(KILL_SWITCH), self.ns.run("nft", "list", "ruleset").stdout)
        for bad in ("pass out proto { tcp udp } to 198.51.100.9 keep state",  # not quick
                    "block out quick all", "pass out quick proto { tcp udp } to 198.51.100.300 keep state",
                    "rdr pass on lo0 inet proto udp from any to 127.0.0.1 port 53 -> 127.0.0.1 port 99999"):
            self.ns.path(RULES).write_text("pass quick on lo0 all\n\n" + bad + "\n")
            self.fails([(["-a", KILL_SWITCH, "-f", RULES], 1, f"{RULES}:3: syntax error\n")])
        self.fails([(["-a", KILL_SWITCH, "-f", "/nonexistent/kivo.rules"], 1, "No such file")])
        self.assertEqual((self.shown(KILL_SWITCH), self.ns.run("nft", "list", "ruleset").stdout), before)

        quic, other = f"{ALLOWED},443,40000", f"{OTHER},443,0"
        # Anchors are evaluated in name order: the kill switch's quick pass decides first.
        self.load(KILL_SWITCH, kill_switch_rules(ALLOWED))
        self.assertEqual(self.reached(quic, other), {quic: True, other: False})
        # The flow's state outlives the rule that let it out, until killed; only states are killed.
        self.load(KILL_SWITCH, kill_switch_rules(OTHER))
        fresh = f"{ALLOWED},{Sandbox.ECHO_PORT},40001"
        self.assertEqual(self.reached(quic, fresh), {quic: True, fresh: False})
        self.assertRegex(self.tool("-k", "0.0.0.0/0", "-k", ALLOWED).stderr, r"^killed 1 states")
        self.assertEqual(self.reached(quic), {quic: False})
        self.assertRegex(self.tool("-k", "0.0.0.0/0", "-k", ALLOWED).stderr, r"^killed 0 states")
        self.ns.run("/usr/bin/python3", "-c", PROBE, "::1,7003,0")
        self.assertRegex(self.tool("-k", "::/0", "-k", "::1").stderr, r"^killed [1-9]\d* states")

        self.ok("-a", KILL_SWITCH, "-F", "all")
        self.ok("-a", "com.apple/253.Unused", "-F", "all")
        # An anchor without rules is not there at all: the answer of a real Mac.
        for anchor, kind in ((KILL_SWITCH, "rules"), (KILL_SWITCH, "nat"), ("com.apple/253.Unused", "rules")):
            result = self.tool("-a", anchor, "-s", kind)
            self.assertEqual((result.returncode, result.stdout, result.stderr),
                             (1, "", macos_sample("pfctl missing anchor stderr")), anchor)


if __name__ == "__main__":
    unittest.main()
