#!/usr/bin/python3
"""The QUIC block drops outbound UDP to port 443 on every path while TCP 443 and other UDP ports pass;
it gives its pf reference back, outlives the kill switch and vice versa, and `Recover` lifts it alone."""
import unittest

from e2e_support import OK, PF_STATE, QUIC_STATE, PfCase, kill_switch_status

QUIC = 443


def quic_status(enabled):
    return {"QuicMitigationStatus": {"enabled": enabled}}


class QuicTest(PfCase):
    def set_quic(self, enabled):
        self.assertEqual(self.request({"SetQuicMitigation": {"enabled": enabled}}), quic_status(enabled))

    def assert_enabled(self, kill_switch, quic):
        self.assertEqual((self.request("VerifyKillSwitch"), self.request("VerifyQuicMitigation")),
                         (kill_switch_status(kill_switch), quic_status(quic)))

    def test_blocks_udp_443_only_on_every_path(self):
        sb = self.sb
        self.start_tunnel()
        # Into the tunnel, around it through the gateway, and to the VPN server itself.
        paths = ((sb.PUBLIC_IP, sb.TUNNEL_IP), (sb.PUBLIC_IP_2, sb.CLIENT_IP), (sb.SERVER_IP, sb.CLIENT_IP))
        self.set_quic(True)
        self.set_quic(True)  # again: the first reference given back
        self.assertEqual(self.pf_tokens(), [self.state(QUIC_STATE)["token"]])
        self.assertEqual(self.helper_files("com.kivovpn.helper.quic"), [QUIC_STATE])  # no rule or temp file
        for host, source in paths:
            with self.subTest(host=host):
                self.assert_dropped(host, "udp", QUIC)
                for proto, port in (("tcp", QUIC), ("udp", 53), ("udp", sb.ECHO_PORT)):
                    self.assertEqual(self.probe(host, proto, port), source, f"{proto} {host}:{port}")

        self.set_quic(False)
        for host, source in paths:
            self.assertEqual(self.probe(host, port=QUIC), source)
        self.assertEqual(self.pf_info(), (False, 0), "pf still holds our reference")

    def test_each_feature_holds_its_own_reference_and_recover_lifts_the_block_alone(self):
        sb = self.sb
        self.apply_kill_switch()
        self.set_quic(True)
        kill_switch_token, quic_token = self.state(PF_STATE)["token"], self.state(QUIC_STATE)["token"]
        self.assertEqual(self.pf_tokens(), sorted([kill_switch_token, quic_token]))

        # Without the kill switch the QUIC block stays in force, and the rest gets out again.
        self.assertEqual(self.request("RemoveKillSwitch"), OK)
        self.assertEqual(self.pf_tokens(), [quic_token])
        self.assert_enabled(kill_switch=False, quic=True)
        self.assert_dropped(sb.PUBLIC_IP, "udp", QUIC)
        self.assertEqual(self.probe(), sb.CLIENT_IP)

        # And the other way round: Recover lifts the block, and the kill switch stays as it was.
        self.apply_kill_switch()
        kill_switch_record = sb.run_path(PF_STATE).read_bytes()
        self.assertEqual(self.request("Recover"), OK)
        self.assert_enabled(kill_switch=True, quic=False)
        self.assertEqual((self.helper_files("com.kivovpn.helper.quic"), self.pf_tokens()),
                         ([], [self.state(PF_STATE)["token"]]))
        self.assertEqual(sb.run_path(PF_STATE).read_bytes(), kill_switch_record)
        # The server, let through by the kill switch, is reachable on UDP 443 again.
        self.assertEqual(self.probe(sb.SERVER_IP, port=QUIC), sb.CLIENT_IP)
        self.assert_dropped(sb.PUBLIC_IP)

if __name__ == "__main__":
    unittest.main()
