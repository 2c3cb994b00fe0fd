#!/usr/bin/python3
"""The QUIC block of the real helper in the sandbox: outbound UDP to port 443 is dropped on
every path while TCP 443 and other UDP ports pass; it gives its pf reference back, survives
the kill switch's removal and vice versa, and `Recover` lifts it but not the kill switch."""
import json
import stat
import time
import unittest

from test_kill_switch import BUILD, BUILT, OK, PF_STATE, PfCase, kill_switch_status

QUIC_ANCHOR = "com.apple/252.KivoVPNQuic"
QUIC_STATE = "com.kivovpn.helper.quic.state.json"
QUIC = 443


def quic_status(enabled):
    return {"QuicMitigationStatus": {"enabled": enabled}}


def set_quic(enabled):
    return {"SetQuicMitigation": {"enabled": enabled}}


class QuicCase(PfCase):
    def tearDown(self):
        self.sb.ctl(set_quic(False))
        super().tearDown()

    def apply_quic(self):
        self.assertEqual(self.ask(set_quic(True)), quic_status(True))

    def remove_quic(self):
        self.assertEqual(self.ask(set_quic(False)), quic_status(False))

    def quic_state(self):
        path = self.sb.run_path(QUIC_STATE)
        return json.loads(path.read_text()) if path.exists() else None

    def assert_passes(self, proto, host, port, source):
        self.assertEqual(self.probe(proto, host, port), source, f"{proto} {host}:{port}")


@unittest.skipUnless(BUILT, f"com.kivovpn.helper and kivo-helperctl are not built in {BUILD}")
class QuicWithoutTunnelTest(QuicCase):
    def test_blocks_udp_443_only(self):
        sb = self.sb
        self.assert_passes("udp", sb.PUBLIC_IP, QUIC, sb.CLIENT_IP)
        started = int(time.time())
        self.apply_quic()
        self.assertEqual(self.ask("VerifyQuicMitigation"), quic_status(True))

        state = self.quic_state()
        self.assertEqual(list(state), ["token", "updated_at"])
        self.assertRegex(state["token"], r"^\d{4,}$")
        self.assertGreaterEqual(state["updated_at"], started)
        self.assertLessEqual(state["updated_at"], int(time.time()))
        self.assertEqual(stat.S_IMODE(sb.run_path(QUIC_STATE).stat().st_mode), 0o600)
        self.assertEqual(self.helper_files("com.kivovpn.helper.quic"), [QUIC_STATE],
                         "the rule file (or a temp file) was left behind")
        self.assertEqual(self.pf_tokens(), [state["token"]])
        self.assertEqual(self.anchor_rules(QUIC_ANCHOR),
                         ["block drop out quick proto udp from any to any port = 443"])

        for host in (sb.PUBLIC_IP, sb.PUBLIC_IP_2, sb.SERVER_IP):
            self.assert_dropped("udp", host, QUIC)
            self.assert_passes("tcp", host, QUIC, sb.CLIENT_IP)
            self.assert_passes("udp", host, 53, sb.CLIENT_IP)
            self.assert_passes("udp", host, sb.ECHO_PORT, sb.CLIENT_IP)

        self.remove_quic()
        self.assert_passes("udp", sb.PUBLIC_IP, QUIC, sb.CLIENT_IP)
        self.assertEqual(self.ask("VerifyQuicMitigation"), quic_status(False))
        self.assertIsNone(self.quic_state())
        self.assertEqual(self.helper_files("com.kivovpn.helper.quic"), [])
        self.assertEqual(self.pf_info(), (False, 0), "pf still holds our reference")

    def test_removing_when_never_applied(self):
        self.remove_quic()
        self.assertEqual(self.ask("VerifyQuicMitigation"), quic_status(False))
        self.assertEqual(self.helper_files("com.kivovpn.helper.quic"), [])
        self.assertEqual(self.pf_info(), (False, 0))

    def test_applying_twice_holds_one_reference(self):
        self.apply_quic()
        first = self.quic_state()["token"]
        self.apply_quic()
        second = self.quic_state()["token"]
        self.assertNotEqual(first, second)
        self.assertEqual(self.pf_tokens(), [second], "the first reference was not released")
        self.assertEqual(self.anchor_rules(QUIC_ANCHOR),
                         ["block drop out quick proto udp from any to any port = 443"])
        self.assert_dropped("udp", self.sb.PUBLIC_IP, QUIC)

    def test_each_feature_holds_its_own_reference(self):
        sb = self.sb
        self.apply_kill_switch()
        self.apply_quic()
        kill_switch_token, quic_token = self.pf_state()["token"], self.quic_state()["token"]
        self.assertEqual(self.pf_tokens(), sorted([kill_switch_token, quic_token]))
        self.assertEqual(self.pf_info(), (True, 2))

        # Without the kill switch the QUIC block stays in force, and the rest gets out again.
        self.assertEqual(self.ask("RemoveKillSwitch"), OK)
        self.assertEqual(self.pf_tokens(), [quic_token])
        self.assertEqual(self.ask("VerifyKillSwitch"), kill_switch_status(False))
        self.assertEqual(self.ask("VerifyQuicMitigation"), quic_status(True))
        self.assert_dropped("udp", sb.PUBLIC_IP, QUIC)
        self.assert_passes("udp", sb.PUBLIC_IP, sb.ECHO_PORT, sb.CLIENT_IP)

        # And the other way round.
        self.apply_kill_switch()
        kill_switch_token = self.pf_state()["token"]
        self.remove_quic()
        self.assertEqual(self.pf_tokens(), [kill_switch_token])
        self.assertEqual(self.ask("VerifyKillSwitch"), kill_switch_status(True))
        self.assertEqual(self.ask("VerifyQuicMitigation"), quic_status(False))
        self.assert_dropped("udp", sb.PUBLIC_IP, sb.ECHO_PORT)
        self.assert_passes("udp", sb.SERVER_IP, QUIC, sb.CLIENT_IP)

        self.assertEqual(self.ask("RemoveKillSwitch"), OK)
        self.assertEqual(self.pf_info(), (False, 0))

    def test_recover_lifts_the_block_but_keeps_the_kill_switch(self):
        sb = self.sb
        self.apply_kill_switch()
        self.apply_quic()
        kill_switch_record = sb.run_path(PF_STATE).read_bytes()

        self.assertEqual(self.ask("Recover"), OK)
        self.assertEqual(self.ask("VerifyQuicMitigation"), quic_status(False))
        self.assertIsNone(self.quic_state())
        self.assertEqual(self.ask("VerifyKillSwitch"), kill_switch_status(True))
        self.assertEqual(sb.run_path(PF_STATE).read_bytes(), kill_switch_record)
        self.assertEqual(self.pf_tokens(), [self.pf_state()["token"]])
        # The server, let through by the kill switch, is reachable on UDP 443 again.
        self.assert_passes("udp", sb.SERVER_IP, QUIC, sb.CLIENT_IP)
        self.assert_dropped("udp", sb.PUBLIC_IP, sb.ECHO_PORT)


@unittest.skipUnless(BUILT, f"com.kivovpn.helper and kivo-helperctl are not built in {BUILD}")
class QuicWithTunnelTest(QuicCase):
    with_tunnel = True

    def test_blocks_udp_443_on_both_paths(self):
        sb = self.sb
        self.assert_passes("udp", sb.PUBLIC_IP, QUIC, sb.TUNNEL_IP)
        self.apply_quic()
        # Into the tunnel (PUBLIC_IP) and around it (PUBLIC_IP_2, routed via the gateway).
        for host, source in ((sb.PUBLIC_IP, sb.TUNNEL_IP), (sb.PUBLIC_IP_2, sb.CLIENT_IP)):
            self.assert_dropped("udp", host, QUIC)
            self.assert_passes("tcp", host, QUIC, source)
            self.assert_passes("udp", host, 53, source)
            self.assert_passes("udp", host, sb.ECHO_PORT, source)

        self.remove_quic()
        self.assert_passes("udp", sb.PUBLIC_IP, QUIC, sb.TUNNEL_IP)
        self.assert_passes("udp", sb.PUBLIC_IP_2, QUIC, sb.CLIENT_IP)


if __name__ == "__main__":
    unittest.main()
