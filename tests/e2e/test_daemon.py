#!/usr/bin/python3
"""The real helper daemon in the macOS-like sandbox, driven through kivo-helperctl: who may
talk to it, what it answers, how it starts, restarts and refuses to start."""
import json
import os
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
CONSOLE_UID = 501
OTHER_UID = 777
SOCKET = "/var/run/com.kivovpn.helper.sock"
BANNER = f"Kivo helper daemon listening on {SOCKET}"
STOPPED = {"Status": {"connected": False, "iface": "", "pid": 0}}
STATE_FILE = "com.kivovpn.helper.state.json"


def err(code, message):
    return {"Err": {"code": code, "message": message}}


class HelperCase(unittest.TestCase):
    console_uid = CONSOLE_UID

    @classmethod
    def setUpClass(cls):
        cls.sb = Sandbox(console_uid=cls.console_uid, build_dir=BUILD).__enter__()
        try:
            cls.sb.start_helper()
        except BaseException:
            cls.sb.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.sb.close()

    def ask(self, request, uid=None):
        """(exit code, decoded response) of one kivo-helperctl call."""
        code, out = self.sb.ctl(request, uid=uid)
        try:
            return code, json.loads(out)
        except ValueError:
            self.fail(f"not a JSON response to {request!r}: {out!r} (exit {code})")


@unittest.skipUnless(BUILT, f"com.kivovpn.helper and kivo-helperctl are not built in {BUILD}")
class RequestTest(HelperCase):
    def test_ping_is_exactly_ok(self):
        self.assertEqual(self.sb.raw_request(b'"Ping"'), b'"Ok"')
        self.assertEqual(self.sb.raw_request(b'{"Ping":null}\n'), b'"Ok"')
        self.assertEqual(self.sb.ctl("Ping"), (0, '"Ok"'))

    def test_feature_report(self):
        code, answer = self.ask("GetStatus")
        self.assertEqual(code, 0)
        status = answer["RuntimeStatus"]
        self.assertEqual(status["protocol_version"], 1)
        self.assertEqual(status["runtime_stage"], "privileged-ops-v1")
        features = status["supported_features"]
        self.assertEqual(list(features), ["tunnel", "firewall", "dns", "split_tunnel", "quic_mitigation",
                                          "custom_split_engine", "packet_steering_engine"])
        self.assertTrue(features["tunnel"], "wireguard-go and wg are installed in the sandbox")

        # Without wg the tunnel cannot work, whatever else does.
        tools = self.sb.HELPER_TOOLS
        self.sb.run("rm", f"{tools}/wg")
        try:
            _, answer = self.ask("GetStatus")
            self.assertFalse(answer["RuntimeStatus"]["supported_features"]["tunnel"])
            self.assertFalse(answer["RuntimeStatus"]["ready_for_privileged_ops"])
        finally:
            self.sb.run("ln", "-s", "/usr/bin/wg", f"{tools}/wg")

        missing = [t for t in ("pfctl", "networksetup")
                   if not os.access(SOURCE / "platform" / "bin" / t, os.X_OK)]
        if missing:
            self.skipTest(f"every flag true needs the {' and '.join(missing)} stand-in(s)")
        self.assertEqual(answer_flags(self.ask("GetStatus")[1]), {"ready": True, **{k: True for k in features}})

    def test_other_users_are_turned_away(self):
        # The helper answers without reading the request, so the client may still be
        # writing when the connection closes; it must print the answer all the same.
        for _ in range(5):
            code, answer = self.ask("Ping", uid=OTHER_UID)
            self.assertEqual(code, 1)
            self.assertEqual(answer, err("UnauthorizedClient", f"client uid {OTHER_UID} is not authorized"))
        self.assertIn(f"Rejected helper client: client uid {OTHER_UID} is not authorized\n",
                      self.sb.helper_stderr())

    def test_console_user_is_served(self):
        self.assertEqual(self.sb.ctl("Ping", uid=CONSOLE_UID), (0, '"Ok"'))
        self.assertEqual(self.ask("Status", uid=CONSOLE_UID), (0, STOPPED))
        # The console's owner is looked up for every connection, not once at start.
        self.sb.set_console_owner(0)
        try:
            self.assertEqual(self.ask("Ping", uid=CONSOLE_UID)[1],
                             err("UnauthorizedClient", f"client uid {CONSOLE_UID} is not authorized"))
        finally:
            self.sb.set_console_owner(CONSOLE_UID)
        self.assertEqual(self.sb.ctl("Ping", uid=CONSOLE_UID), (0, '"Ok"'))

    def test_socket_belongs_to_the_console_user_and_is_open_to_all(self):
        st = self.sb.run_path("com.kivovpn.helper.sock").stat()
        self.assertEqual((st.st_uid, st.st_gid, st.st_mode & 0o777), (CONSOLE_UID, CONSOLE_UID, 0o666))

    def test_bad_requests(self):
        for request in ("{bad", '"StartTunnel"', '{"Ping":{}}', '"Pong"', '"Ping" x',
                        '{"StartTunnel":{"config_path":"/c","client_ip":"a","server_ip":"b"}}'):
            code, answer = self.ask(request)
            self.assertEqual(code, 1, request)
            self.assertEqual(list(answer["Err"]), ["code", "message"], request)
            self.assertEqual(answer["Err"]["code"], "ParseError", request)
        _, answer = self.ask('{"StartTunnel":{"config_path":"/c","client_ip":"a","server_ip":"b"}}')
        self.assertTrue(answer["Err"]["message"].startswith("missing field `gateway`"), answer)
        self.assertEqual(json.loads(self.sb.raw_request(b""))["Err"]["code"], "ParseError")

    def test_invalid_utf8_gets_no_answer(self):
        self.assertEqual(self.sb.raw_request(b'"Pi\xffng"'), b"")
        self.assertIn("Read error: ", self.sb.helper_stderr())
        self.assertEqual(self.sb.ctl("Ping"), (0, '"Ok"'))

    def test_status_follows_the_tunnel_record(self):
        state = self.sb.run_path(STATE_FILE)
        self.assertFalse(state.exists())
        self.assertEqual(self.ask("Status"), (0, STOPPED))

        sleeper = self.sb.spawn("sleep", "300")
        pid = self.sb.inner_pid(sleeper)
        record = {"pid": pid, "iface": "utun200", "server_ip": Sandbox.SERVER_IP,
                  "default_gateway": Sandbox.GATEWAY, "started_at": int(time.time())}
        try:
            state.write_text(json.dumps(record, separators=(",", ":")))
            self.assertEqual(self.ask("Status"),
                             (0, {"Status": {"connected": True, "iface": "utun200", "pid": pid}}))
            # A record that lacks a key does not read.
            state.write_text(json.dumps({k: v for k, v in record.items() if k != "started_at"}))
            self.assertEqual(self.ask("Status"), (0, STOPPED))
            state.write_text("{not json")
            self.assertEqual(self.ask("Status"), (0, STOPPED))
            # The process is gone: the record alone does not make a tunnel.
            state.write_text(json.dumps(record))
            sleeper.kill()
            self.sb.run("kill", "-9", str(pid), check=False)
            sleeper.wait()
            deadline = time.monotonic() + 5
            while self.ask("Status")[1] != STOPPED and time.monotonic() < deadline:
                time.sleep(0.05)
            self.assertEqual(self.ask("Status"), (0, STOPPED))
        finally:
            sleeper.kill()
            state.unlink(missing_ok=True)

    def test_startup_banner(self):
        self.assertEqual(self.sb.helper_stdout().splitlines()[0], BANNER)


def answer_flags(answer):
    status = answer["RuntimeStatus"]
    return {"ready": status["ready_for_privileged_ops"], **status["supported_features"]}


@unittest.skipUnless(BUILT, f"com.kivovpn.helper and kivo-helperctl are not built in {BUILD}")
class StartupTest(HelperCase):
    def test_restart_over_a_stale_socket(self):
        sock = self.sb.run_path("com.kivovpn.helper.sock")
        self.sb.stop_helper()
        self.assertTrue(sock.exists(), "SIGKILL leaves the socket file behind")
        with self.assertRaises(ConnectionRefusedError):
            self.sb.raw_request(b'"Ping"')
        self.sb.start_helper()
        self.assertEqual(self.sb.ctl("Ping"), (0, '"Ok"'))
        self.assertEqual(self.sb.helper_stdout().splitlines().count(BANNER), 2)

    def test_start_over_a_stray_file(self):
        self.sb.stop_helper()
        sock = self.sb.run_path("com.kivovpn.helper.sock")
        sock.unlink()
        sock.write_text("left over\n")
        self.sb.start_helper()
        self.assertEqual(self.sb.ctl("Ping"), (0, '"Ok"'))

    def test_refuses_to_run_as_another_user(self):
        sock = self.sb.run_path("com.kivovpn.helper.sock")
        before = sock.stat().st_ino
        result = self.sb.run(f"{Sandbox.INSIDE_BUILD_DIR}/com.kivovpn.helper", uid=OTHER_UID,
                             check=False, timeout=10)
        self.assertEqual((result.returncode, result.stdout, result.stderr),
                         (1, "", "Daemon must run as root.\n"))
        self.assertEqual(sock.stat().st_ino, before, "the running helper's socket was touched")
        self.assertEqual(self.sb.ctl("Ping"), (0, '"Ok"'))


@unittest.skipUnless(BUILT, f"com.kivovpn.helper and kivo-helperctl are not built in {BUILD}")
class TunnelTest(HelperCase):
    def probe(self):
        return self.sb.run("kivo-probe", "udp", Sandbox.PUBLIC_IP, str(Sandbox.ECHO_PORT),
                           check=False).stdout.strip()

    def test_tunnel_carries_traffic_and_goes_away(self):
        sb = self.sb
        self.assertEqual(self.probe(), sb.CLIENT_IP)
        code, answer = self.ask({"StartTunnel": {"config_path": sb.CONFIG_PATH, "client_ip": sb.TUNNEL_IP,
                                                 "server_ip": sb.SERVER_IP, "gateway": sb.GATEWAY}})
        self.assertEqual(code, 0, answer)
        status = answer["Status"]
        self.assertEqual((status["connected"], status["iface"]), (True, "utun200"))
        self.assertEqual(self.ask("Status"), (0, answer))
        self.assertEqual(self.probe(), sb.TUNNEL_IP)
        self.assertIn(f"udp {sb.TUNNEL_IP} {sb.PUBLIC_IP} {sb.ECHO_PORT}", sb.server_log())
        route = sb.run("route", "-n", "get", sb.SERVER_IP).stdout
        self.assertIn(f"    gateway: {sb.GATEWAY}", route)

        self.assertEqual(self.sb.ctl("StopTunnel"), (0, '"Ok"'))
        self.assertEqual(self.ask("Status"), (0, STOPPED))
        self.assertFalse(sb.run_path(STATE_FILE).exists())
        self.assertEqual(sb.run("ifconfig", "utun200", check=False).returncode, 1)
        self.assertEqual(self.probe(), sb.CLIENT_IP)
        self.assertNotIn("wireguard-go", sb.run("ps", "-eo", "comm").stdout)


if __name__ == "__main__":
    unittest.main()
