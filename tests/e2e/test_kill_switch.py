#!/usr/bin/python3
"""The kill switch: what it lets out (loopback, the VPN server, the tunnel) and drops, with and without a
tunnel, what it records, how it gives pf back. The sandbox's pfctl acts the anchors out with nftables."""
import subprocess
import unittest

from e2e_support import LOOPBACK_PORT, OK, PF_STATE, PfCase, kill_switch_status


class KillSwitchTest(PfCase):
    def test_with_a_tunnel_only_tunnel_server_and_loopback_get_out(self):
        sb = self.sb
        self.start_tunnel()
        # Applied before the tunnel has carried a packet (no other test here starts one), so
        # the probes into the tunnel below need the WireGuard handshake to pass the kill switch.
        handshake = sb.server_run("wg", "show", "wg0", "latest-handshakes").stdout.split()[-1]
        self.assertEqual(handshake, "0", "the tunnel was used before this test")
        log_start = len(sb.server_log())
        self.apply_kill_switch()

        for proto in ("udp", "tcp"):
            self.assertEqual(self.probe(sb.PUBLIC_IP, proto), sb.TUNNEL_IP)
            # The tunnel carries IPv4 only: IPv6 would leave beside it, so it must not leave.
            for host in (sb.PUBLIC_IP_2, sb.PUBLIC_IP6):
                self.assert_dropped(host, proto)
        physical = (sb.CLIENT_IP, sb.CLIENT_IP6)
        self.assertEqual([l for l in sb.server_log()[log_start:] if l.split()[1] in physical
                          and l.split()[2] != sb.SERVER_IP], [], "packets leaked outside the tunnel")

        self.assertEqual(self.request("RemoveKillSwitch"), OK)
        self.assertEqual(self.probe(sb.PUBLIC_IP_2), sb.CLIENT_IP)
        self.assertEqual(self.probe(sb.PUBLIC_IP), sb.TUNNEL_IP)
        self.assertEqual(self.probe(sb.PUBLIC_IP6), sb.CLIENT_IP6)

    def test_without_a_tunnel_concurrent_applies_hold_one_reference_and_block_with_the_helper_down(self):
        sb = self.sb
        self.assertEqual(self.probe(), sb.CLIENT_IP)
        request = {"ApplyKillSwitch": {"server_ip": sb.SERVER_IP}}
        clients = [self.ctl_in_background(request, stdout=subprocess.PIPE) for _ in range(4)]
        self.assertEqual([c.communicate(timeout=30)[0].decode().strip() for c in clients], ['"Ok"'] * 4)
        self.assertEqual(self.pf_tokens(), [self.state(PF_STATE)["token"]], "a pf reference leaked")
        self.assertEqual(self.pf_info(), (True, 1))
        self.assertEqual(self.helper_files("com.kivovpn.helper.pf"), [PF_STATE])
        sb.stop_helper()  # the rules live in pf, not in the helper
        for proto in ("udp", "tcp"):
            for host in (sb.PUBLIC_IP, sb.PUBLIC_IP_2, sb.GATEWAY, sb.PUBLIC_IP6, sb.PUBLIC_IP6_2):
                self.assert_dropped(host, proto)
        sb.start_helper()
        self.assertEqual(self.request("VerifyKillSwitch"), kill_switch_status(True))
        for proto in ("udp", "tcp"):
            self.assertEqual(self.probe(sb.SERVER_IP, proto), sb.CLIENT_IP)
            self.assertEqual(self.probe("127.0.0.1", proto, LOOPBACK_PORT), "127.0.0.1")

        # Someone runs pfctl -d: the rules stay loaded, but they hold nothing back.
        sb.run("pfctl", "-d")
        self.assertEqual(self.probe(sb.PUBLIC_IP), sb.CLIENT_IP)
        self.assertEqual(self.request("VerifyKillSwitch"), kill_switch_status(False))
        self.assertEqual(self.request("RemoveKillSwitch"), OK)
        self.assertEqual(self.pf_info(), (False, 0), "pf still holds our reference")
        self.assertEqual((self.pf_tokens(), self.helper_files("com.kivovpn.helper.pf")), ([], []))

if __name__ == "__main__":
    unittest.main()
