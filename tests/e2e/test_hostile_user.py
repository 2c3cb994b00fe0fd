#!/usr/bin/python3
"""The console user turned hostile (uid 501, not an administrator): the root helper reads, reveals and
tracks nothing the user could not alone, and stays answering for everyone else."""
import time

from e2e_support import (CUSTOM_STATE, OK, SOCKET, STOPPED, HelperCase, Sandbox, err, stage_request,
                         start_request, wait_until)

USER = 501
OTHER_USER = 502
STRANGER = 777
SECRET = "SECRET-TOKEN-abc123"
PRIVATE = "/var/root"              # root's own folder: the user cannot search it
HIDDEN_CONFIG = f"{PRIVATE}/other-tunnel.conf"
HIDDEN_APP = f"{PRIVATE}/Hidden.app"
USER_DIR = "/tmp/user501"
ABSENT = f"{USER_DIR}/absent"
USER_CONFIG = f"{USER_DIR}/wg0.conf"
NOT_THERE = err("TunnelStartFailed", "WireGuard config path does not exist")


class HostileConsoleUser(HelperCase):
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

    def test_config_files_the_user_cannot_read_give_nothing_away(self):
        self.sb.run("sh", "-c", f"printf '{SECRET}\\n' > {USER_DIR}/mine.conf", uid=USER)
        self.sb.run("mkfifo", f"{USER_DIR}/fifo", uid=USER)
        for path in (ABSENT, f"{PRIVATE}/secret.conf", HIDDEN_CONFIG, f"{PRIVATE}/absent"):
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

    def test_app_paths_the_user_cannot_search_look_absent(self):
        for engine in ("CustomSplitEngine", "PacketSteeringEngine"):
            with self.subTest(engine=engine):
                absent = self.ask(stage_request(engine, f"{PRIVATE}/Absent.app"))
                hidden = self.ask(stage_request(engine, HIDDEN_APP))
                self.assertEqual(str(hidden).replace(HIDDEN_APP, "APP"),
                                 str(absent).replace(f"{PRIVATE}/Absent.app", "APP"))
                self.assertIn("does not exist", str(hidden))

    def test_only_the_users_own_processes_are_tracked(self):
        own = self.sb.spawn("sleep", "300", uid=USER)
        roots = self.sb.spawn("sleep", "300")
        pids = [self.sb.inner_pid(own), self.sb.inner_pid(roots), 999999]
        self.assertIn("CustomSplitEngineStatus", self.ask(stage_request("CustomSplitEngine", "/bin/sleep")))
        apps = [{"name": "sleep", "exe_path": "/bin/sleep", "active_pids": pids}]
        self.assertIn("CustomSplitEngineStatus", self.ask({"UpdateCustomSplitEnginePids": {"generation": 1, "apps": apps}}))
        self.assertEqual(self.state(CUSTOM_STATE)["tracked_apps"][0]["active_pids"], pids[:1])

    def test_a_flood_of_rejected_clients_writes_a_bounded_number_of_lines(self):
        time.sleep(1.1)  # past any line an earlier test caused
        before = self.sb.helper_stderr().count("Rejected helper client")
        began = time.monotonic()
        ctl = f"{Sandbox.INSIDE_BUILD_DIR}/kivo-helperctl"
        self.sb.run("sh", "-c", f"for i in $(seq 300); do {ctl} Ping >/dev/null; done", uid=STRANGER,
                    check=False, timeout=120)
        time.sleep(1.1)  # the next line carries the count held back
        seconds = time.monotonic() - began
        self.assertEqual(self.request("Ping", uid=STRANGER),
                         err("UnauthorizedClient", f"client uid {STRANGER} is not authorized"))
        written = self.sb.helper_stderr().count("Rejected helper client") - before
        # One line a second, and one more each time with the count held back.
        self.assertLessEqual(written, 2 * (int(seconds) + 2), f"{written} lines in {seconds:.1f} s")
        self.assertIn("more lines suppressed", self.sb.helper_stderr())

    def test_the_socket_follows_the_console_to_its_next_owner(self):
        sock = self.sb.run_path(SOCKET)
        self.sb.run("chmod", "000", Sandbox.SOCKET_PATH, uid=USER)
        self.sb.set_console_owner(OTHER_USER)
        try:
            self.assertTrue(wait_until(lambda: (sock.stat().st_uid, sock.stat().st_mode & 0o777) == (OTHER_USER, 0o666),
                                       5), "the socket stayed with the earlier console owner")
            self.assertEqual(self.request("Status", uid=OTHER_USER), STOPPED)
            self.assertEqual(self.request("Ping", uid=USER),
                             err("UnauthorizedClient", f"client uid {USER} is not authorized"))
        finally:
            self.sb.set_console_owner(USER)
        self.assertTrue(wait_until(lambda: sock.stat().st_uid == USER, 5))
        self.assertEqual(self.ask("Ping"), OK)


if __name__ == "__main__":
    import unittest
    unittest.main()
