#!/usr/bin/python3
"""The real helper daemon: who may talk to it, how it starts, restarts and refuses to start."""
import json
import subprocess
import time
import unittest

from e2e_support import OK, SOCKET, STOPPED, TUNNEL_STATE, HelperCase, Sandbox, err, wait_until

CONSOLE_UID = 501
OTHER_UID = 777
BANNER = f"Kivo helper daemon listening on {Sandbox.SOCKET_PATH}"


def unauthorized(uid):
    return err("UnauthorizedClient", f"client uid {uid} is not authorized")


class DaemonTest(HelperCase):
    console_uid = CONSOLE_UID

    def test_only_root_and_the_console_user_are_served(self):
        # The helper answers without reading the request, so the client may still be
        # writing when the connection closes; the answer must arrive all the same.
        for _ in range(5):
            self.assertEqual(self.request("Ping", uid=OTHER_UID), unauthorized(OTHER_UID))
        self.assertIn(f"Rejected helper client: client uid {OTHER_UID} is not authorized\n", self.sb.helper_stderr())
        self.assertEqual(self.request("Status", uid=CONSOLE_UID), STOPPED)
        st = self.sb.run_path(SOCKET).stat()
        self.assertEqual((st.st_uid, st.st_gid, st.st_mode & 0o777), (CONSOLE_UID, CONSOLE_UID, 0o666))

    def test_status_reads_the_tunnel_record(self):
        self.assertEqual(self.request("Status"), STOPPED)
        sleeper = self.sb.spawn("sleep", "300")
        pid = self.sb.inner_pid(sleeper)
        record = {"pid": pid, "iface": "utun200", "server_ip": Sandbox.SERVER_IP,
                  "default_gateway": Sandbox.GATEWAY, "started_at": int(time.time())}
        live = {"Status": {"connected": True, "iface": "utun200", "pid": pid}}
        try:
            for text, expected in ((json.dumps(record), live), ("{not json", STOPPED),
                                   (json.dumps({k: v for k, v in record.items() if k != "started_at"}), STOPPED)):
                with self.subTest(record=text):
                    self.sb.run_path(TUNNEL_STATE).write_text(text)
                    self.assertEqual(self.request("Status"), expected)
        finally:
            sleeper.kill()
            self.sb.run_path(TUNNEL_STATE).unlink(missing_ok=True)

    def test_restart_over_a_stale_socket_or_a_stray_file(self):
        banners = self.sb.helper_stdout().splitlines()
        self.assertEqual(banners[0], BANNER)
        sock = self.sb.run_path(SOCKET)
        for stray_file in (False, True):
            self.sb.stop_helper()
            self.assertTrue(sock.exists(), "SIGKILL leaves the socket file behind")
            with self.assertRaises(ConnectionRefusedError):
                self.sb.raw_request(b'"Ping"')
            if stray_file:
                sock.unlink()
                sock.write_text("left over\n")
            self.sb.start_helper()
            self.assertEqual(self.sb.raw_request(b'{"Ping":null}\n'), b'"Ok"')
        self.assertEqual(self.sb.helper_stdout().splitlines().count(BANNER), banners.count(BANNER) + 2)

    def test_requests_are_capped_well_above_real_ones(self):
        # 30,000 bypass routes are about 0.6 MB: read whole and answered on their merits.
        routes = [f"10.{i // 250}.{i % 250}.0/24" for i in range(30000)]
        big = json.dumps({"ApplySplitBypass": {"routes": routes, "gateway": "nowhere"}}).encode()
        self.assertGreater(len(big), 500_000)
        self.assertEqual(json.loads(self.sb.raw_request(big)),
                         err("SplitBypassApplyFailed", "Invalid IP provided: nowhere"))
        # Past the cap the rest is dropped unread, not held in memory.
        huge = b'{"' + b"x" * (64 << 20)
        self.assertEqual(json.loads(self.send_raw(huge)),
                         err("ParseError", "request too large: the limit is 1048576 bytes"))
        self.assertEqual(self.request("Ping"), OK)

    def test_a_closed_standard_error_does_not_end_the_helper(self):
        sb = self.sb
        sb.stop_helper()
        helper = sb.spawn(f"{Sandbox.INSIDE_BUILD_DIR}/com.kivovpn.helper", stdin=subprocess.DEVNULL,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        helper.stderr.close()  # its next line goes to a pipe nobody reads
        try:
            self.assertTrue(wait_until(lambda: sb.ctl("Ping")[0] == 0, 10, 0.05), "the helper did not start")
            # The rejection is written to standard error.
            self.assertEqual(self.request("Ping", uid=OTHER_UID), unauthorized(OTHER_UID))
            self.assertEqual(self.request("Ping"), OK)
        finally:
            pid = sb.run("pgrep", "-f", f"^{Sandbox.INSIDE_BUILD_DIR}/com.kivovpn.helper$").stdout.split()
            sb.run("kill", "-9", *pid, check=False)
            helper.wait()
            sb.start_helper()

    def test_refuses_to_run_as_another_user(self):
        before = self.sb.run_path(SOCKET).stat().st_ino
        result = self.sb.run(f"{Sandbox.INSIDE_BUILD_DIR}/com.kivovpn.helper", uid=OTHER_UID, check=False)
        self.assertEqual((result.returncode, result.stdout, result.stderr), (1, "", "Daemon must run as root.\n"))
        self.assertEqual(self.sb.run_path(SOCKET).stat().st_ino, before, "the running helper's socket changed")
        self.assertEqual(self.request("Ping"), OK)


if __name__ == "__main__":
    unittest.main()
