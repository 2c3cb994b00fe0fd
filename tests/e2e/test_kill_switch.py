#!/usr/bin/python3
"""The kill switch: what it lets out (loopback, the VPN server, the tunnel) and drops, with and without a
tunnel, what it records, how it gives pf back. The sandbox's pfctl acts the anchors out with nftables."""
import json
import subprocess
import time
import unittest

from e2e_support import LOOPBACK_PORT, OK, PF_STATE, PF_TOKEN, PfCase, Sandbox, kill_switch_status

S = Sandbox
BASE_RULES = [
    "pass quick on lo0 all flags S/SA keep state",
    f"pass out quick inet proto tcp from any to {S.SERVER_IP} flags S/SA keep state",
    f"pass out quick inet proto udp from any to {S.SERVER_IP} keep state",
]
PASS_TUNNEL = "pass out quick on utun200 all flags S/SA keep state"
BLOCK_ALL = "block drop out quick all"


class KillSwitchTest(PfCase):
    def server_handshake(self):
        """Epoch seconds of the server's latest WireGuard handshake with us; 0 for none."""
        return int(self.sb.server_run("wg", "show", "wg0", "latest-handshakes").stdout.split()[-1])

    def assert_server_and_loopback_pass(self):
        for proto in ("udp", "tcp"):
            self.assertEqual(self.probe(S.SERVER_IP, proto), S.CLIENT_IP)
            self.assertEqual(self.probe("127.0.0.1", proto, LOOPBACK_PORT), "127.0.0.1")

    def test_with_a_tunnel_only_tunnel_server_and_loopback_get_out(self):
        sb = self.sb
        self.start_tunnel()
        # Applied before the tunnel has carried a packet (no other test here starts one), so
        # the WireGuard handshake itself must pass the kill switch.
        self.assertEqual(self.server_handshake(), 0, "the tunnel was used before this test")
        log_start = len(sb.server_log())
        started = int(time.time())
        self.apply_kill_switch()
        self.assertEqual(self.request("VerifyKillSwitch"), kill_switch_status(True))
        record = self.assert_record(PF_STATE, started, token=PF_TOKEN, server_ip=sb.SERVER_IP, iface="utun200")
        self.assertEqual(self.pf_tokens(), [record["token"]])
        self.assertEqual(self.anchor_rules(), [*BASE_RULES, PASS_TUNNEL, BLOCK_ALL])

        for proto in ("udp", "tcp"):
            self.assertEqual(self.probe(sb.PUBLIC_IP, proto), sb.TUNNEL_IP)
            # The tunnel carries IPv4 only: IPv6 would leave beside it, so it must not leave.
            for host in (sb.PUBLIC_IP_2, sb.PUBLIC_IP6):
                self.assert_dropped(host, proto)
        self.assertNotEqual(self.server_handshake(), 0, "no WireGuard handshake with the server")
        physical = (sb.CLIENT_IP, sb.CLIENT_IP6)
        self.assertEqual([l for l in sb.server_log()[log_start:] if l.split()[1] in physical
                          and l.split()[2] != sb.SERVER_IP], [], "packets leaked outside the tunnel")
        self.assert_server_and_loopback_pass()

        self.assertEqual(self.request("RemoveKillSwitch"), OK)
        self.assertEqual(self.probe(sb.PUBLIC_IP_2), sb.CLIENT_IP)
        self.assertEqual(self.probe(sb.PUBLIC_IP), sb.TUNNEL_IP)
        self.assertEqual(self.probe(sb.PUBLIC_IP6), sb.CLIENT_IP6)

    def test_without_a_tunnel_only_server_and_loopback_get_out(self):
        sb = self.sb
        self.assertEqual(self.probe(), sb.CLIENT_IP)
        self.apply_kill_switch()
        self.assertEqual(self.anchor_rules(), [*BASE_RULES, BLOCK_ALL])
        self.assertIsNone(self.state(PF_STATE)["iface"])
        for proto in ("udp", "tcp"):
            for host in (sb.PUBLIC_IP, sb.PUBLIC_IP_2, sb.GATEWAY, sb.PUBLIC_IP6, sb.PUBLIC_IP6_2):
                self.assert_dropped(host, proto)
        self.assert_server_and_loopback_pass()

    def test_one_reference_is_held_and_given_back(self):
        sb = self.sb
        self.assertEqual(self.request("RemoveKillSwitch"), OK)  # never applied: nothing to do
        self.assertEqual(self.pf_info(), (False, 0))
        self.apply_kill_switch()
        first, rules = self.state(PF_STATE)["token"], self.anchor_rules()
        self.apply_kill_switch()  # again: the same rules, and the first reference given back
        second = self.state(PF_STATE)["token"]
        self.assertNotEqual(first, second)
        self.assertEqual((self.pf_tokens(), self.pf_info(), self.anchor_rules()), ([second], (True, 1), rules))
        self.assert_dropped(sb.PUBLIC_IP)
        # Someone runs pfctl -d: pf still lists the rules, but they hold nothing back.
        sb.run("pfctl", "-d")
        self.assertEqual(self.anchor_rules(), rules)
        self.assertEqual(self.probe(sb.PUBLIC_IP), sb.CLIENT_IP)
        self.assertEqual(self.request("VerifyKillSwitch"), kill_switch_status(False))

        self.assertEqual(self.request("RemoveKillSwitch"), OK)
        self.assertEqual(self.pf_info(), (False, 0), "pf still holds our reference")
        self.assertEqual((self.pf_tokens(), self.helper_files("com.kivovpn.helper.pf")), ([], []))
        for proto in ("udp", "tcp"):
            self.assertEqual(self.probe(sb.PUBLIC_IP, proto), sb.CLIENT_IP)
        # pf is off now, which is "not enabled" rather than a failure.
        self.assertEqual(self.request("VerifyKillSwitch"), kill_switch_status(False))

        # With pf kept on by someone else, the anchor is gone: pf answers "DIOCGETRULES:
        # Invalid argument", which is "not loaded" rather than a failure.
        other = sb.run("pfctl", "-E").stderr.split()[-1]
        try:
            self.assertIsNone(self.anchor_rules())
            self.assertEqual(self.request("VerifyKillSwitch"), kill_switch_status(False))
            self.assertEqual(self.request("RemoveKillSwitch"), OK)
            self.assertEqual(self.pf_tokens(), [other], "a reference we did not take was released")
        finally:
            sb.run("pfctl", "-X", other)

    def test_concurrent_applies_hold_one_reference(self):
        sb = self.sb
        request = json.dumps({"ApplyKillSwitch": {"server_ip": sb.SERVER_IP}})
        clients = [self.ctl_in_background(request, stdout=subprocess.PIPE) for _ in range(4)]
        self.assertEqual([c.communicate(timeout=30)[0].decode().strip() for c in clients], ['"Ok"'] * 4)
        self.assertEqual(self.pf_tokens(), [self.state(PF_STATE)["token"]], "a pf reference leaked")
        self.assertEqual(len(self.anchor_rules()), 4)
        self.assertEqual(self.helper_files("com.kivovpn.helper.pf"), [PF_STATE])

    def test_removal_after_a_helper_restart(self):
        sb = self.sb
        self.apply_kill_switch()
        sb.stop_helper()
        self.assert_dropped(sb.PUBLIC_IP)  # the rules live in pf, not in the helper
        sb.start_helper()
        self.assertEqual(self.request("VerifyKillSwitch"), kill_switch_status(True))
        self.assertEqual(self.request("RemoveKillSwitch"), OK)
        self.assertEqual(self.pf_info(), (False, 0), "the recorded reference was not released")
        self.assertEqual(self.probe(), sb.CLIENT_IP)


if __name__ == "__main__":
    unittest.main()
