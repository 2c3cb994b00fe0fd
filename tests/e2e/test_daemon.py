#!/usr/bin/python3
"""The real helper daemon: who may talk to it, how it starts, restarts and refuses to start, and what it
does for the console user turned hostile (uid 501, not an administrator): it reads, reveals and tracks
nothing the user could not alone, and stays answering for everyone else."""
import json
import subprocess
import time
import unittest

from e2e_support import (CUSTOM_STATE, OK, SOCKET, STOPPED, HelperCase, Sandbox, err, pid_update, stage_request,
                         start_request, wait_until)

USER = 501
OTHER_USER = 502
STRANGER = 777
HELPER = f"{Sandbox.INSIDE_BUILD_DIR}/com.kivovpn.helper"
BANNER = f"Kivo helper daemon listening on {Sandbox.SOCKET_PATH}"
SECRET = "SECRET-TOKEN-abc123"
PRIVATE = "/var/root"              # root's own folder: the user cannot search it
HIDDEN_CONFIG = f"{PRIVATE}/other-tunnel.conf"
HIDDEN_APP = f"{PRIVATE}/Hidden.app"
USER_DIR = "/tmp/user501"
USER_CONFIG = f"{USER_DIR}/wg0.conf"
NOT_THERE = err("TunnelStartFailed", "WireGuard config path does not exist")


def unauthorized(uid):
    return err("UnauthorizedClient", f"client uid {uid} is not authorized")


class DaemonTest(HelperCase):
    console_uid = USER

    @classmethod
    def prepare(cls):
        sb = cls.sb
        sb.run("sh", "-c", f"mkdir -p {PRIVATE} && chmod 700 {PRIVATE}"
                           f" && printf '{SECRET}\\n' > {PRIVATE}/secret.conf"
                           f" && cp {Sandbox.CONFIG_PATH} {HIDDEN_CONFIG} && mkdir -p {HIDDEN_APP}"
                           f" && chmod 600 {PRIVATE}/secret.conf {HIDDEN_CONFIG}")
        sb.run("install", "-d", "-o", str(USER), "-g", str(USER), USER_DIR)
        # The user's own configuration: the sandbox's is root's.
        sb.run("install", "-o", str(USER), "-g", str(USER), "-m", "600", Sandbox.CONFIG_PATH, USER_CONFIG)

    def tearDown(self):
        self.sb.ctl("StopTunnel")
        self.sb.ctl("RestoreCustomSplitEngine")

    def ask(self, request, uid=USER):
        return self.request(request, uid=uid)

    # -- who may talk to it -----------------------------------------------------------------

    def test_only_root_and_the_console_owner_are_served_as_the_console_changes_hands(self):
        self.assertEqual(self.ask("Status"), STOPPED)
        # The console passes to another user, whatever the earlier one did to the socket.
        sock = self.sb.run_path(SOCKET)
        self.sb.run("chmod", "000", Sandbox.SOCKET_PATH, uid=USER)
        self.sb.set_console_owner(OTHER_USER)
        try:
            self.assertTrue(wait_until(lambda: (sock.stat().st_uid, sock.stat().st_mode & 0o777) == (OTHER_USER, 0o666),
                                       5), "the socket stayed with the earlier console owner")
            self.assertEqual(self.ask("Status", uid=OTHER_USER), STOPPED)
            self.assertEqual(self.ask("Ping"), unauthorized(USER))
        finally:
            self.sb.set_console_owner(USER)
        self.assertTrue(wait_until(lambda: sock.stat().st_uid == USER, 5))
        self.assertEqual(self.ask("Ping"), OK)

    def test_a_flood_of_rejected_clients_is_answered_in_a_bounded_number_of_lines(self):
        time.sleep(1.1)  # past any line an earlier test caused
        before = len(self.sb.helper_stderr())
        began = time.monotonic()
        ctl = f"{Sandbox.INSIDE_BUILD_DIR}/kivo-helperctl"
        self.sb.run("sh", "-c", f"for i in $(seq 300); do {ctl} Ping >/dev/null; done", uid=STRANGER,
                    check=False, timeout=120)
        time.sleep(1.1)  # the next line carries the count held back
        seconds = time.monotonic() - began
        # The helper answers without reading the request, so the client may still be
        # writing when the connection closes; the answer must arrive all the same.
        for _ in range(5):
            self.assertEqual(self.ask("Ping", uid=STRANGER), unauthorized(STRANGER))
        written = self.sb.helper_stderr()[before:]
        # One line a second, and one more each time with the count held back.
        self.assertLessEqual(written.count("Rejected helper client"), 2 * (int(seconds) + 2), f"in {seconds:.1f} s")
        self.assertIn(f"Rejected helper client: client uid {STRANGER} is not authorized\n", written)
        self.assertIn("more lines suppressed", written)

    # -- what it does for the console user --------------------------------------------------

    def test_the_helper_reads_finds_and_tracks_nothing_the_user_could_not_alone(self):
        self.sb.run("sh", "-c", f"printf '{SECRET}\\n' > {USER_DIR}/mine.conf", uid=USER)
        self.sb.run("mkfifo", f"{USER_DIR}/fifo", uid=USER)
        for path in (f"{USER_DIR}/absent", f"{PRIVATE}/secret.conf", HIDDEN_CONFIG, f"{PRIVATE}/absent"):
            with self.subTest(config=path):
                self.assertEqual(self.ask(start_request(config_path=path)), NOT_THERE)
        # wg's complaint keeps its words, never the line it quotes from the file.
        answer = self.ask(start_request(config_path=f"{USER_DIR}/mine.conf"))
        self.assertEqual(answer["Err"]["code"], "TunnelStartFailed")
        self.assertTrue(answer["Err"]["message"].startswith("wg setconf failed: "), answer)
        self.assertNotIn(SECRET, str(answer))
        # A FIFO nobody writes to is refused at once, and the helper stays answering.
        began = time.monotonic()
        self.assertEqual(self.ask(start_request(config_path=f"{USER_DIR}/fifo")),
                         err("TunnelStartFailed", "WireGuard config path rejected: not a regular file"))
        self.assertEqual((self.ask("StopTunnel", uid=None), self.ask("Ping", uid=None)), (OK, OK))
        self.assertLess(time.monotonic() - began, 5, "the FIFO kept the helper waiting")
        self.assertNotIn(SECRET, self.sb.helper_stderr())
        self.assertEqual(self.helper_files("com.kivovpn.helper.wg"), [])
        # The user's own readable config still brings the tunnel up.
        self.assertTrue(self.ask(start_request(config_path=USER_CONFIG))["Status"]["connected"])
        # The engines find no app path the user cannot search, and track only the user's processes.
        for engine in ("CustomSplitEngine", "PacketSteeringEngine"):
            with self.subTest(engine=engine):
                absent = self.ask(stage_request(engine, f"{PRIVATE}/Absent.app"))
                hidden = self.ask(stage_request(engine, HIDDEN_APP))
                self.assertEqual(str(hidden).replace(HIDDEN_APP, f"{PRIVATE}/Absent.app"), str(absent))
                self.assertIn("does not exist", str(hidden))
        pids = [self.sb.inner_pid(self.sb.spawn("sleep", "300", uid=USER)),
                self.sb.inner_pid(self.sb.spawn("sleep", "300")), 999999]
        self.assertIn("CustomSplitEngineStatus", self.ask(stage_request("CustomSplitEngine", "/bin/sleep")))
        self.assertIn("CustomSplitEngineStatus", self.ask(pid_update("CustomSplitEngine", 1, "/bin/sleep", pids)))
        self.assertEqual(self.state(CUSTOM_STATE)["tracked_apps"][0]["active_pids"], pids[:1])

    # -- how it starts ----------------------------------------------------------------------

    def test_restarts_over_a_stray_socket_file_refuses_other_users_and_outlives_a_closed_standard_error(self):
        sb, sock = self.sb, self.sb.run_path(SOCKET)
        self.assertEqual(sb.helper_stdout().splitlines()[0], BANNER)
        # Started by anyone but root it refuses, and the running helper's socket stays.
        before = sock.stat().st_ino
        result = sb.run(HELPER, uid=STRANGER, check=False)
        self.assertEqual((result.returncode, result.stdout, result.stderr), (1, "", "Daemon must run as root.\n"))
        self.assertEqual(sock.stat().st_ino, before, "the running helper's socket changed")
        self.assertEqual(self.request("Ping"), OK)
        # A restart over the socket a SIGKILL left behind is what every crash recovery test does.
        sb.stop_helper()
        sock.unlink()
        sock.write_text("left over\n")
        helper = sb.spawn(HELPER, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        helper.stderr.close()  # its next line goes to a pipe nobody reads
        try:
            self.assertEqual(helper.stdout.readline().decode(), BANNER + "\n")
            # The socket is born the console owner's, before any pass of the monitor that hands it on.
            st = sock.stat()
            self.assertEqual((st.st_uid, st.st_gid, st.st_mode & 0o777), (USER, USER, 0o666))
            self.assertTrue(wait_until(lambda: sb.ctl("Ping")[0] == 0, 10, 0.05), "the helper did not start")
            # The rejection is written to standard error.
            self.assertEqual(self.ask("Ping", uid=STRANGER), unauthorized(STRANGER))
            self.assertEqual(sb.raw_request(b'{"Ping":null}\n'), b'"Ok"')
        finally:
            sb.run("kill", "-9", *sb.run("pgrep", "-f", f"^{HELPER}$", check=False).stdout.split(), check=False)
            helper.wait()
            sb.start_helper()

    def test_requests_are_capped_well_above_real_ones(self):
        # Past the cap the rest is dropped unread, not held in memory.
        huge = b'{"' + b"x" * (64 << 20)
        self.assertEqual(json.loads(self.send_raw(huge)),
                         err("ParseError", "request too large: the limit is 1048576 bytes"))
        self.assertEqual(self.request("Ping"), OK)


if __name__ == "__main__":
    unittest.main()
