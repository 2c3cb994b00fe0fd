#!/usr/bin/python3
"""kivo-helperctl as a person uses it against the real helper: a command per feature, the overview
before, during and after, recover, watch, and the exit codes of its refusals."""
import json
import re
import unittest

from e2e_support import STREAM_EXE, HelperCase, Sandbox as S, wait_until

OFF = {"tunnel": "connected no", "kill switch": "enabled no", "quic block": "enabled no",
       "dns proxy 127.0.0.1": "active no", "split bypass": "active no", "custom split": "staged no, active no",
       "packet steering": "staged no, active no"}


class HelperctlTest(HelperCase):
    def ctl(self, *args, input=None):
        """(exit code, standard output, standard error) of one kivo-helperctl call."""
        r = self.sb.run(f"{S.INSIDE_BUILD_DIR}/kivo-helperctl", *args, check=False, input=input)
        return r.returncode, r.stdout, r.stderr

    def said(self, *args, input=None):
        code, out, err = self.ctl(*args, input=input)
        self.assertEqual((code, err), (0, ""), f"kivo-helperctl {' '.join(args)}")
        return out

    def assert_overview(self, expected):
        """Each item's line of the status overview (its own continuation lines joined) matches its pattern."""
        items, last = {}, None
        for line in self.said("status").splitlines()[1:]:
            if not line.startswith(" "):
                last, value = line.split(":", 1)
                items[last] = value.strip()
            elif re.match(r"  \w+:", line):
                last = None  # a note of the item above, with its own continuation lines
            elif last:
                items[last] += " " + line.strip()
        for title, pattern in expected.items():
            self.assertTrue(re.fullmatch(pattern, items[title]), f"{title}: {items[title]}")

    def test_one_change_per_feature_shows_in_status_and_watch_and_recover_undoes_it(self):
        self.assert_overview({**OFF, "helper": ".*ready for privileged ops yes.*"})
        # Not on a terminal, watch prints plain rounds.
        out = self.said("watch", "--interval", "0.2", "--count", "3")
        rounds = out.split("\n\n")
        self.assertEqual(len(rounds), 3, out)
        for text in rounds:
            self.assertRegex(text, r"^kivo helper at /var/run/com.kivovpn.helper.sock, \d\d:\d\d:\d\d\nhelper: ")
            self.assertIn("\npacket steering: ", text)
        self.assertNotIn("\x1b", out)
        self.sb.start_dns_proxy()
        for args, shown in (
                (["tunnel", "start", "--config", S.CONFIG_PATH, "--client-ip", S.TUNNEL_IP,
                  "--server-ip", S.SERVER_IP, "--gateway", S.GATEWAY], r"connected: yes\niface:     utun200\n"),
                (["kill-switch", "on", "--server-ip", S.SERVER_IP], r"^ok\n$"),
                (["quic", "on"], r"^enabled: yes\n$"),
                (["dns", "apply", "127.0.0.1"], r"active:              yes\n"),
                (["split", "apply", "--gateway", S.GATEWAY, S.PUBLIC_IP_2], r"routes: 1\n"),
                (["custom-split", "stage", "--gateway", S.GATEWAY, "--app", "/usr/bin/python3"], r"staged:\s+yes\n"),
                (["steering", "stage", "--gateway", S.GATEWAY, "--app", STREAM_EXE], r"staged:\s+yes\n")):
            self.assertRegex(self.said(*args), shown, args)
        snapshot = json.dumps([{"name": "kivo-stream", "exe_path": STREAM_EXE, "active_pids": []}])
        self.assertRegex(self.said("steering", "update", "--generation", "1", input=snapshot), r"staged:\s+yes\n")

        self.assert_overview({"tunnel": r"connected yes, iface utun200, pid \d+", "kill switch": "enabled yes",
                              "data plane": "connected yes, iface utun200.*", "quic block": "enabled yes",
                              "dns proxy 127.0.0.1": "active yes, configured services [1-9].*",
                              "split bypass": "active yes, routes 1",
                              "custom split": r"staged yes, active \w+, app count 1.*",
                              "packet steering": "staged yes, active yes, app count 1.*"})

        as_json = json.loads(self.said("--json", "status"))
        self.assertEqual(list(as_json), ["GetStatus", "Status", "VerifyTunnelDataPlane", "VerifyKillSwitch",
                                         "VerifyQuicMitigation", "VerifyDnsProxy", "VerifySplitBypass",
                                         "VerifyCustomSplitEngine", "VerifyPacketSteeringEngine"])
        self.assertEqual(as_json["VerifyKillSwitch"], {"KillSwitchStatus": {"enabled": True}})

        # recover leaves the kill switch and DNS to their own commands.
        self.assertEqual(self.said("recover"), "ok\n")
        self.assertEqual(self.said("kill-switch", "verify"), "enabled: yes\n")
        self.assertEqual(self.said("kill-switch", "off"), "ok\n")
        self.assertRegex(self.said("dns", "restore"), r"^active:              no\n")
        self.assert_overview(OFF)
        self.assertEqual(self.routes(), self.bare_routes)

    def test_refusals_and_their_exit_codes(self):
        self.sb.spawn("python3", "-c", "import socket, time\n"
                      "s = socket.socket(socket.AF_UNIX); s.bind('/tmp/mute.sock'); s.listen(); time.sleep(60)")
        self.assertTrue(wait_until(lambda: self.sb.path("/tmp/mute.sock").exists(), 10))
        cases = [
            (["kill-switch", "on"], 64, "--server-ip is required"),
            (["quic"], 64, "A subcommand is required"),
            (["steering", "update", "--generation", "2", "--apps", "/nonexistent.json"], 64, "cannot read"),
            (["send", '{"SetQuicMitigation":{}}'], 1, "error (ParseError): missing field `enabled`"),
            (["--socket", "/tmp/none.sock", "ping"], 2, "cannot connect to /tmp/none.sock"),
            (["--socket", "/tmp/mute.sock", "--timeout", "0.5", "ping"], 2, "no answer within 0.5 s"),
        ]
        for args, code, said in cases:
            got_code, out, err = self.ctl(*args, input="[]")
            self.assertEqual((got_code, out), (code, ""), args)
            self.assertIn(said, err, args)
        self.assertEqual(self.routes(), self.bare_routes)


if __name__ == "__main__":
    unittest.main()
