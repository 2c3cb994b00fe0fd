#!/usr/bin/python3
"""The kill switch of the real helper in the sandbox: what it lets out (loopback, the VPN
server, the tunnel) and what it drops, with and without a tunnel, what it records, and how it
gives pf back. Packets are real: the sandbox's pfctl acts the anchors out with nftables."""
import json
import os
import stat
import subprocess
import sys
import time
import unittest
from pathlib import Path

SOURCE = Path(os.environ.get("KIVO_SOURCE_DIR") or Path(__file__).resolve().parents[2])
sys.path.insert(0, str(SOURCE / "platform" / "sandbox"))
from sandbox import Sandbox  # noqa: E402

BUILD = Path(os.environ.get("KIVO_BUILD_DIR") or SOURCE / "build" / "sandbox")
BUILT = all((BUILD / name).exists() for name in ("com.kivovpn.helper", "kivo-helperctl"))

KILL_SWITCH_ANCHOR = "com.apple/250.KivoVPN"
PF_STATE = "com.kivovpn.helper.pf.state.json"
PF_RULES = "com.kivovpn.helper.pf.rules"
OK = "Ok"
LOOPBACK_PORT = 9999
# The pfctl stand-in keeps pf's own memory (enable references) here, inside the client's /run.
STANDIN_STATE_DIR = "kivo-pf-standin"


def err(code, message):
    return {"Err": {"code": code, "message": message}}


def kill_switch_status(enabled):
    return {"KillSwitchStatus": {"enabled": enabled}}


class PfCase(unittest.TestCase):
    """One sandbox per class with the helper running, a host route that takes PUBLIC_IP_2
    around the tunnel through the physical gateway, and an echo server on the client's
    loopback. `with_tunnel` brings the WireGuard tunnel up first."""

    with_tunnel = False

    @classmethod
    def setUpClass(cls):
        cls.sb = Sandbox(build_dir=BUILD).__enter__()
        try:
            sb = cls.sb
            sb.start_helper()
            sb.run("route", "-n", "add", "-host", sb.PUBLIC_IP_2, sb.GATEWAY)
            echo = sb.spawn("kivo-echo", "--log", "/tmp/loopback-echo.log",
                            "--udp", str(LOOPBACK_PORT), "--tcp", str(LOOPBACK_PORT),
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
            if echo.stdout.readline().strip() != b"ready":
                raise RuntimeError("the loopback echo server did not start")
            if cls.with_tunnel:
                code, out = sb.ctl(cls.start_tunnel_request())
                if code != 0:
                    raise RuntimeError(f"StartTunnel failed: {out}")
        except BaseException:
            cls.sb.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.sb.close()

    @staticmethod
    def start_tunnel_request():
        return {"StartTunnel": {"config_path": Sandbox.CONFIG_PATH, "client_ip": Sandbox.TUNNEL_IP,
                                "server_ip": Sandbox.SERVER_IP, "gateway": Sandbox.GATEWAY}}

    def tearDown(self):
        # Each test starts with the kill switch off, whatever the last one left behind.
        self.sb.ctl("RemoveKillSwitch")

    # -- asking the helper -----------------------------------------------------------------

    def ask(self, request):
        """The decoded response; a bare string for "Ok"."""
        code, out = self.sb.ctl(request)
        try:
            answer = json.loads(out)
        except ValueError:
            self.fail(f"not a JSON response to {request!r}: {out!r} (exit {code})")
        self.assertEqual(code, 1 if isinstance(answer, dict) and "Err" in answer else 0, out)
        return answer

    def apply_kill_switch(self, server_ip=Sandbox.SERVER_IP):
        self.assertEqual(self.ask({"ApplyKillSwitch": {"server_ip": server_ip}}), OK)

    # -- looking at the client ---------------------------------------------------------------

    def probe(self, proto, host, port):
        """The source address the echo server saw, or None when nothing came back."""
        result = self.sb.run("kivo-probe", proto, host, str(port), "--timeout", "1", check=False)
        return result.stdout.strip() if result.returncode == 0 else None

    def arrivals(self, dst):
        """Echo-server log lines for packets that reached `dst`."""
        return [line for line in self.sb.server_log() if line.split()[2] == dst]

    def assert_dropped(self, proto, host, port):
        before = len(self.arrivals(host))
        self.assertIsNone(self.probe(proto, host, port), f"{proto} {host}:{port} got out")
        time.sleep(0.1)  # a leaked packet would be logged by now: the link is a veth
        self.assertEqual(self.arrivals(host)[before:], [], f"{proto} {host}:{port} reached the server")

    def anchor_rules(self, anchor=KILL_SWITCH_ANCHOR):
        """The rule lines pf lists for an anchor, or None when the listing fails."""
        result = self.sb.run("pfctl", "-a", anchor, "-s", "rules", check=False)
        return result.stdout.splitlines() if result.returncode == 0 else None

    def pf_info(self):
        """(pf enabled, enable references held) as `pfctl -s info` reports them."""
        info = self.sb.run("pfctl", "-s", "info").stdout
        enabled = info.startswith("Status: Enabled")
        refs = next(int(line.split()[-1]) for line in info.splitlines()
                    if line.startswith("Enable references"))
        return enabled, refs

    def pf_tokens(self):
        """The reference tokens pf holds, from the stand-in's own record."""
        files = list(self.sb.run_path(STANDIN_STATE_DIR).glob("netns-*.json"))
        return sorted(t for f in files for t in json.loads(f.read_text())["tokens"])

    def server_handshake(self):
        """Epoch seconds of the server's latest WireGuard handshake with us; 0 for none."""
        return int(self.sb.server_run("wg", "show", "wg0", "latest-handshakes").stdout.split()[-1])

    def pf_state(self):
        path = self.sb.run_path(PF_STATE)
        return json.loads(path.read_text()) if path.exists() else None

    def helper_files(self, prefix):
        return sorted(p.name for p in self.sb.run_path().iterdir() if p.name.startswith(prefix))


@unittest.skipUnless(BUILT, f"com.kivovpn.helper and kivo-helperctl are not built in {BUILD}")
class KillSwitchWithTunnelTest(PfCase):
    with_tunnel = True

    def test_only_tunnel_server_and_loopback_get_out(self):
        sb = self.sb
        # Applied before the tunnel has carried a packet (no other test here uses it), so the
        # WireGuard handshake itself must pass the kill switch.
        self.assertEqual(self.server_handshake(), 0, "the tunnel was used before this test")
        log_start = len(sb.server_log())
        started = int(time.time())
        self.apply_kill_switch()
        self.assertEqual(self.ask("VerifyKillSwitch"), kill_switch_status(True))

        state = self.pf_state()
        self.assertEqual(list(state), ["token", "server_ip", "iface", "updated_at"])
        self.assertRegex(state["token"], r"^\d{4,}$")
        self.assertEqual((state["server_ip"], state["iface"]), (sb.SERVER_IP, "utun200"))
        self.assertGreaterEqual(state["updated_at"], started)
        self.assertLessEqual(state["updated_at"], int(time.time()))
        self.assertEqual(stat.S_IMODE(sb.run_path(PF_STATE).stat().st_mode), 0o600)
        self.assertEqual(self.helper_files("com.kivovpn.helper.pf"), [PF_STATE],
                         "the rule file (or a temp file) was left behind")
        self.assertEqual(self.pf_tokens(), [state["token"]])

        self.assertEqual(self.anchor_rules(), [
            "pass quick on lo0 all flags S/SA keep state",
            f"pass out quick inet proto tcp from any to {sb.SERVER_IP} flags S/SA keep state",
            f"pass out quick inet proto udp from any to {sb.SERVER_IP} keep state",
            "pass out quick on utun200 all flags S/SA keep state",
            "block drop out quick all",
        ])

        # Through the tunnel, and so through the server's WireGuard endpoint.
        self.assertEqual(self.probe("udp", sb.PUBLIC_IP, sb.ECHO_PORT), sb.TUNNEL_IP)
        self.assertEqual(self.probe("tcp", sb.PUBLIC_IP, sb.ECHO_PORT), sb.TUNNEL_IP)
        self.assertNotEqual(self.server_handshake(), 0, "no WireGuard handshake with the server")

        # Around the tunnel: dropped on the client, nothing reaches the server.
        for proto in ("udp", "tcp"):
            self.assert_dropped(proto, sb.PUBLIC_IP_2, sb.ECHO_PORT)
        self.assertEqual([l for l in sb.server_log()[log_start:] if l.split()[1] == sb.CLIENT_IP
                          and l.split()[2] != sb.SERVER_IP], [], "packets leaked outside the tunnel")

        # The server itself stays reachable outside the tunnel (its host route), on any port.
        self.assertEqual(self.probe("udp", sb.SERVER_IP, sb.ECHO_PORT), sb.CLIENT_IP)
        self.assertEqual(self.probe("tcp", sb.SERVER_IP, sb.ECHO_PORT), sb.CLIENT_IP)
        for proto in ("udp", "tcp"):
            self.assertEqual(self.probe(proto, "127.0.0.1", LOOPBACK_PORT), "127.0.0.1")

        self.assertEqual(self.ask("RemoveKillSwitch"), OK)
        self.assertEqual(self.probe("udp", sb.PUBLIC_IP_2, sb.ECHO_PORT), sb.CLIENT_IP)
        self.assertEqual(self.probe("udp", sb.PUBLIC_IP, sb.ECHO_PORT), sb.TUNNEL_IP)

    def test_another_server_in_the_request_joins_the_tunnel_server(self):
        sb = self.sb
        self.apply_kill_switch(sb.PUBLIC_IP_2)
        self.assertEqual(self.pf_state()["server_ip"], f"{sb.PUBLIC_IP_2},{sb.SERVER_IP}")
        rules = self.anchor_rules()
        self.assertEqual([r.split(" to ")[1].split()[0] for r in rules if " to " in r],
                         [sb.PUBLIC_IP_2, sb.PUBLIC_IP_2, sb.SERVER_IP, sb.SERVER_IP])
        # The requested host is reachable outside the tunnel (the tunnel itself is left
        # unused for the handshake check of the other test).
        self.assertEqual(self.probe("udp", sb.PUBLIC_IP_2, sb.ECHO_PORT), sb.CLIENT_IP)

        # The same server twice is listed once.
        self.apply_kill_switch(sb.SERVER_IP)
        self.assertEqual(self.pf_state()["server_ip"], sb.SERVER_IP)
        self.assertEqual(len(self.anchor_rules()), 5)


@unittest.skipUnless(BUILT, f"com.kivovpn.helper and kivo-helperctl are not built in {BUILD}")
class KillSwitchWithoutTunnelTest(PfCase):
    def test_everything_but_server_and_loopback_is_dropped(self):
        sb = self.sb
        self.assertEqual(self.probe("udp", sb.PUBLIC_IP, sb.ECHO_PORT), sb.CLIENT_IP)
        self.apply_kill_switch()
        self.assertEqual(self.anchor_rules(), [
            "pass quick on lo0 all flags S/SA keep state",
            f"pass out quick inet proto tcp from any to {sb.SERVER_IP} flags S/SA keep state",
            f"pass out quick inet proto udp from any to {sb.SERVER_IP} keep state",
            "block drop out quick all",
        ])
        self.assertIsNone(self.pf_state()["iface"])
        for proto in ("udp", "tcp"):
            for host in (sb.PUBLIC_IP, sb.PUBLIC_IP_2, sb.GATEWAY):
                self.assert_dropped(proto, host, sb.ECHO_PORT)
            self.assertEqual(self.probe(proto, sb.SERVER_IP, sb.ECHO_PORT), sb.CLIENT_IP)
            self.assertEqual(self.probe(proto, "127.0.0.1", LOOPBACK_PORT), "127.0.0.1")

    def test_remove_gives_pf_back(self):
        sb = self.sb
        self.assertEqual(self.pf_info(), (False, 0))
        self.apply_kill_switch()
        self.assertEqual(self.pf_info(), (True, 1))
        self.assert_dropped("udp", sb.PUBLIC_IP, sb.ECHO_PORT)

        self.assertEqual(self.ask("RemoveKillSwitch"), OK)
        self.assertEqual(self.pf_info(), (False, 0), "pf still holds our reference")
        self.assertEqual(self.pf_tokens(), [])
        self.assertIsNone(self.pf_state())
        self.assertEqual(self.helper_files("com.kivovpn.helper.pf"), [])
        self.assertEqual(self.probe("udp", sb.PUBLIC_IP, sb.ECHO_PORT), sb.CLIENT_IP)
        self.assertEqual(self.probe("tcp", sb.PUBLIC_IP, sb.ECHO_PORT), sb.CLIENT_IP)
        # pf is off now, which is "not enabled" rather than a failure.
        self.assertEqual(self.ask("VerifyKillSwitch"), kill_switch_status(False))

        # With pf kept on by someone else, the anchor itself is seen to be empty.
        other = sb.run("pfctl", "-E").stderr.split()[-1]
        try:
            self.assertEqual(self.anchor_rules(), [])
            self.assertEqual(self.ask("VerifyKillSwitch"), kill_switch_status(False))
            self.assertEqual(self.ask("RemoveKillSwitch"), OK)
            self.assertEqual(self.pf_tokens(), [other], "a reference we did not take was released")
        finally:
            sb.run("pfctl", "-X", other)

    def test_removing_when_never_applied(self):
        self.assertEqual(self.ask("RemoveKillSwitch"), OK)
        self.assertEqual(self.ask("VerifyKillSwitch"), kill_switch_status(False))
        self.assertEqual(self.pf_info(), (False, 0))

    def test_applying_twice_holds_one_ruleset_and_one_reference(self):
        sb = self.sb
        self.apply_kill_switch()
        first = self.pf_state()["token"]
        rules = self.anchor_rules()
        self.apply_kill_switch()
        second = self.pf_state()["token"]
        self.assertNotEqual(first, second)
        self.assertEqual(self.pf_tokens(), [second], "the first reference was not released")
        self.assertEqual(self.pf_info(), (True, 1))
        self.assertEqual(self.anchor_rules(), rules)
        self.assert_dropped("udp", sb.PUBLIC_IP, sb.ECHO_PORT)

    def test_invalid_address_changes_nothing(self):
        sb = self.sb
        for bad in ("203.0.113", "not-an-ip", "", f"{sb.SERVER_IP}/32", f" {sb.SERVER_IP}",
                    f"{sb.SERVER_IP} keep state\npass out quick all"):
            self.assertEqual(self.ask({"ApplyKillSwitch": {"server_ip": bad}}),
                             err("KillSwitchApplyFailed", f"Invalid IP provided: {bad}"))
        self.assertEqual(self.pf_info(), (False, 0))
        self.assertIsNone(self.pf_state())

        # An invalid request does not take down a kill switch that is in force.
        self.apply_kill_switch()
        record = sb.run_path(PF_STATE).read_bytes()
        rules = self.anchor_rules()
        self.assertEqual(self.ask({"ApplyKillSwitch": {"server_ip": "300.1.1.1"}}),
                         err("KillSwitchApplyFailed", "Invalid IP provided: 300.1.1.1"))
        self.assertEqual(sb.run_path(PF_STATE).read_bytes(), record)
        self.assertEqual(self.anchor_rules(), rules)
        self.assertEqual(self.pf_info(), (True, 1))
        self.assert_dropped("udp", sb.PUBLIC_IP, sb.ECHO_PORT)

    def test_concurrent_applies_hold_one_reference(self):
        sb = self.sb
        request = json.dumps({"ApplyKillSwitch": {"server_ip": sb.SERVER_IP}})
        clients = [sb.spawn(f"{sb.INSIDE_BUILD_DIR}/kivo-helperctl", request,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE) for _ in range(4)]
        answers = [c.communicate(timeout=30)[0].decode().strip() for c in clients]
        self.assertEqual(answers, ['"Ok"'] * 4)
        self.assertEqual(self.pf_tokens(), [self.pf_state()["token"]], "a pf reference leaked")
        self.assertEqual(len(self.anchor_rules()), 4)
        self.assertEqual(self.helper_files("com.kivovpn.helper.pf"), [PF_STATE])

    def test_removal_after_a_helper_restart(self):
        sb = self.sb
        self.apply_kill_switch()
        sb.stop_helper()
        # The rules live in pf, not in the helper.
        self.assert_dropped("udp", sb.PUBLIC_IP, sb.ECHO_PORT)
        sb.start_helper()
        self.assertEqual(self.ask("VerifyKillSwitch"), kill_switch_status(True))
        self.assertEqual(self.ask("RemoveKillSwitch"), OK)
        self.assertEqual(self.pf_info(), (False, 0), "the recorded reference was not released")
        self.assertEqual(self.probe("udp", sb.PUBLIC_IP, sb.ECHO_PORT), sb.CLIENT_IP)

    def test_ipv6_server_is_accepted(self):
        self.apply_kill_switch("2001:db8::1")
        self.assertEqual(self.pf_state()["server_ip"], "2001:db8::1")
        self.assertIn("pass out quick inet6 proto udp from any to 2001:db8::1 keep state", self.anchor_rules())
        self.assertEqual(self.ask("VerifyKillSwitch"), kill_switch_status(True))


if __name__ == "__main__":
    unittest.main()
