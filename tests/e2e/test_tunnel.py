#!/usr/bin/python3
"""The WireGuard tunnel brought up and down by the real helper in the sandbox: the traffic it
carries, what it records, what it leaves behind, and how a failed start unwinds."""
import json
import os
import sys
import time
import unittest
from pathlib import Path

SOURCE = Path(os.environ.get("KIVO_SOURCE_DIR") or Path(__file__).resolve().parents[2])
sys.path.insert(0, str(SOURCE / "platform" / "sandbox"))
from sandbox import Sandbox, processes_in  # noqa: E402

BUILD = Path(os.environ.get("KIVO_BUILD_DIR") or SOURCE / "build" / "sandbox")
BUILT = all((BUILD / name).exists() for name in ("com.kivovpn.helper", "kivo-helperctl"))
STATE_FILE = "com.kivovpn.helper.state.json"
SPLIT_STATE_FILE = "com.kivovpn.helper.split.state.json"
STOPPED = {"Status": {"connected": False, "iface": "", "pid": 0}}
NO_DATA_PLANE = {"TunnelDataPlaneStatus": {"connected": False, "iface": "", "rx_bytes": 0, "tx_bytes": 0}}
WIREGUARD_GO = f"{Sandbox.HELPER_TOOLS}/wireguard-go"


def start_request(config_path=Sandbox.CONFIG_PATH, client_ip=Sandbox.TUNNEL_IP,
                  server_ip=Sandbox.SERVER_IP, gateway=Sandbox.GATEWAY):
    return {"StartTunnel": {"config_path": config_path, "client_ip": client_ip,
                            "server_ip": server_ip, "gateway": gateway}}


def err(code, message):
    return {"Err": {"code": code, "message": message}}


@unittest.skipUnless(BUILT, f"com.kivovpn.helper and kivo-helperctl are not built in {BUILD}")
class TunnelCase(unittest.TestCase):
    """One sandbox and helper for the class; every test starts and ends with no tunnel."""

    @classmethod
    def setUpClass(cls):
        cls.sb = Sandbox(build_dir=BUILD).__enter__()
        try:
            cls.sb.start_helper()
            cls.bare_routes = cls.routes()
        except BaseException:
            cls.sb.close()
            raise

    @classmethod
    def tearDownClass(cls):
        sb = cls.sb
        net_id, work_dir = sb.client_net_id, sb.dir
        sb.close()
        assert not processes_in(net_id), "processes outlived the sandbox"
        assert not work_dir.exists(), "the sandbox's temp dir outlived it"

    def tearDown(self):
        self.sb.ctl("StopTunnel")
        self.sb.run("ip", "link", "del", "utun200", check=False)

    # -- requests --------------------------------------------------------------------------

    def ask(self, request):
        """(exit code, decoded response) of one kivo-helperctl call."""
        code, out = self.sb.ctl(request)
        try:
            return code, json.loads(out)
        except ValueError:
            self.fail(f"not a JSON response to {request!r}: {out!r} (exit {code})")

    def start(self, **fields):
        code, answer = self.ask(start_request(**fields))
        self.assertEqual(code, 0, answer)
        return answer["Status"]

    # -- what the client looks like --------------------------------------------------------

    @classmethod
    def routes(cls):
        return cls.sb.run("ip", "-4", "route", "show", "table", "main").stdout.splitlines()

    def interfaces(self):
        lines = self.sb.run("ip", "-o", "link", "show").stdout.splitlines()
        return [line.split(":")[1].strip().split("@")[0] for line in lines]

    def utuns(self):
        return [name for name in self.interfaces() if name.startswith("utun")]

    def wireguard_go_pids(self):
        rows = [row.split() for row in self.sb.run("ps", "-eo", "pid=,comm=").stdout.splitlines()]
        return [int(row[0]) for row in rows if row[1:] == ["wireguard-go"]]

    def probe(self, host=Sandbox.PUBLIC_IP):
        """The source address the echo server saw, or "" when nothing came back."""
        return self.sb.run("kivo-probe", "udp", host, str(Sandbox.ECHO_PORT), check=False).stdout.strip()

    def data_plane(self):
        code, answer = self.ask("VerifyTunnelDataPlane")
        self.assertEqual(code, 0, answer)
        return answer["TunnelDataPlaneStatus"]

    def assert_nothing_left(self, before_routes=None):
        """No trace of a tunnel: no utun, no wireguard-go, no record, no extra route."""
        self.assertEqual(self.utuns(), [])
        self.assertEqual(self.wireguard_go_pids(), [])
        self.assertFalse(self.sb.run_path(STATE_FILE).exists())
        self.assertEqual(self.routes(), before_routes or self.bare_routes)
        self.assertEqual(self.ask("Status"), (0, STOPPED))

    def wait_until(self, condition, what, timeout=5):
        deadline = time.monotonic() + timeout
        while not condition():
            if time.monotonic() > deadline:
                self.fail(what)
            time.sleep(0.05)


class TunnelLifecycleTest(TunnelCase):
    def test_tunnel_carries_traffic_and_is_recorded(self):
        sb = self.sb
        self.assertEqual(self.probe(), sb.CLIENT_IP)
        before = int(time.time())
        status = self.start()
        after = int(time.time())
        self.assertEqual((status["connected"], status["iface"]), (True, "utun200"))
        self.assertEqual(self.wireguard_go_pids(), [status["pid"]])
        self.assertEqual(self.ask("Status"), (0, {"Status": status}))

        state = sb.run_path(STATE_FILE)
        text = state.read_text()
        record = json.loads(text)
        self.assertTrue(before <= record["started_at"] <= after, record)
        expected = {"pid": status["pid"], "iface": "utun200", "server_ip": sb.SERVER_IP,
                    "default_gateway": sb.GATEWAY, "started_at": record["started_at"]}
        self.assertEqual(text, json.dumps(expected, separators=(",", ":")))
        self.assertEqual(state.stat().st_mode & 0o777, 0o600)

        # All of IPv4 goes into the tunnel, except the server itself.
        self.assertIn("0.0.0.0/1 dev utun200 scope link ", self.routes())
        self.assertIn("128.0.0.0/1 dev utun200 scope link ", self.routes())
        self.assertIn(f"    gateway: {sb.GATEWAY}", sb.run("route", "-n", "get", sb.SERVER_IP).stdout)
        self.assertIn(f"inet {sb.TUNNEL_IP}/32", sb.run("ip", "-4", "addr", "show", "dev", "utun200").stdout)

        first = self.data_plane()
        self.assertEqual((first["connected"], first["iface"]), (True, "utun200"))
        self.assertEqual(self.probe(), sb.TUNNEL_IP)
        self.assertIn(f"udp {sb.TUNNEL_IP} {sb.PUBLIC_IP} {sb.ECHO_PORT}", sb.server_log())
        second = self.data_plane()
        self.assertEqual((second["connected"], second["iface"]), (True, "utun200"))
        self.assertGreater(second["rx_bytes"], first["rx_bytes"])
        self.assertGreater(second["tx_bytes"], first["tx_bytes"])

    def test_stop_leaves_nothing_behind(self):
        self.start()
        self.assertEqual(self.probe(), self.sb.TUNNEL_IP)
        self.assertEqual(self.sb.ctl("StopTunnel"), (0, '"Ok"'))
        self.assert_nothing_left()
        self.assertEqual(self.probe(), self.sb.CLIENT_IP)
        self.assertEqual(self.ask("VerifyTunnelDataPlane"), (0, NO_DATA_PLANE))
        # Stopping what is already stopped is no error.
        self.assertEqual(self.sb.ctl("StopTunnel"), (0, '"Ok"'))
        self.assert_nothing_left()

    def test_data_plane_without_tunnel(self):
        self.assertEqual(self.ask("VerifyTunnelDataPlane"), (0, NO_DATA_PLANE))

    def test_taken_interface_is_skipped(self):
        sb = self.sb
        sb.run("ip", "tuntap", "add", "utun200", "mode", "tun")
        status = self.start()
        self.assertEqual(status["iface"], "utun201")
        self.assertIn("0.0.0.0/1 dev utun201 scope link ", self.routes())
        self.assertEqual(self.probe(), sb.TUNNEL_IP)
        self.assertEqual(json.loads(sb.run_path(STATE_FILE).read_text())["iface"], "utun201")

        self.assertEqual(sb.ctl("StopTunnel"), (0, '"Ok"'))
        self.assertEqual(self.utuns(), ["utun200"], "stop takes only the tunnel's own interface")
        self.assertEqual(self.wireguard_go_pids(), [])
        self.assertEqual(self.probe(), sb.CLIENT_IP)

    def test_second_start_moves_to_the_next_interface(self):
        first = self.start()
        second = self.start()
        self.assertEqual((first["iface"], second["iface"]), ("utun200", "utun201"))
        self.assertEqual(json.loads(self.sb.run_path(STATE_FILE).read_text())["pid"], second["pid"])
        self.assertEqual(self.ask("Status"), (0, {"Status": second}))
        self.assertIn("0.0.0.0/1 dev utun201 scope link ", self.routes())
        self.assertIn("128.0.0.0/1 dev utun201 scope link ", self.routes())
        self.assertEqual(self.probe(), self.sb.TUNNEL_IP)

        # The record names only the second, but stop ends every wireguard-go.
        self.assertEqual(self.sb.ctl("StopTunnel"), (0, '"Ok"'))
        self.assert_nothing_left()

    def test_dead_wireguard_go_is_not_a_tunnel(self):
        status = self.start()
        self.sb.run("kill", "-9", str(status["pid"]))
        # The helper reaps its child, so the pid stops answering signal 0.
        self.wait_until(lambda: self.ask("Status") == (0, STOPPED), "Status still reports the dead tunnel")
        self.assertEqual(self.ask("VerifyTunnelDataPlane"),
                         (0, {"TunnelDataPlaneStatus": {"connected": False, "iface": "utun200",
                                                        "rx_bytes": 0, "tx_bytes": 0}}))
        self.assertTrue(self.sb.run_path(STATE_FILE).exists())
        self.assertEqual(self.sb.ctl("StopTunnel"), (0, '"Ok"'))
        self.assert_nothing_left()

    def test_data_plane_without_wg(self):
        self.start()
        tools = self.sb.HELPER_TOOLS
        self.sb.run("rm", f"{tools}/wg")
        try:
            self.assertEqual(self.ask("VerifyTunnelDataPlane"),
                             (1, err("TunnelDataPlaneVerifyFailed", "Missing privileged binary 'wg'")))
        finally:
            self.sb.run("ln", "-s", "/usr/bin/wg", f"{tools}/wg")
        self.assertTrue(self.data_plane()["connected"])


class FailedStartTest(TunnelCase):
    def assert_start_fails(self, message, prefix=False, **fields):
        code, answer = self.ask(start_request(**fields))
        self.assertEqual(code, 1, answer)
        self.assertEqual(list(answer), ["Err"], answer)
        self.assertEqual(answer["Err"]["code"], "TunnelStartFailed")
        if prefix:
            self.assertTrue(answer["Err"]["message"].startswith(message), answer)
        else:
            self.assertEqual(answer["Err"]["message"], message)
        self.assert_nothing_left()
        return answer["Err"]["message"]

    def test_rejected_before_anything_starts(self):
        cases = [
            ("WireGuard config path does not exist", {"config_path": "/etc/kivo/missing.conf"}),
            ("Invalid IP provided: 198.18.0.300", {"client_ip": "198.18.0.300"}),
            ("Invalid IP provided: vpn.example", {"server_ip": "vpn.example"}),
            ("Invalid IP provided: ", {"gateway": ""}),
            # Addresses are checked first, and in the order client, server, gateway.
            ("Invalid IP provided: a", {"client_ip": "a", "server_ip": "b", "config_path": "/nope"}),
            ("Invalid IP provided: b", {"server_ip": "b", "gateway": "c"}),
        ]
        for message, fields in cases:
            with self.subTest(**fields):
                self.assert_start_fails(message, **fields)

    def test_config_path_forms(self):
        sb = self.sb
        helper = [row.split() for row in sb.run("ps", "-eo", "pid=,args=").stdout.splitlines()]
        helper_pid = next(row[0] for row in helper if row[1:] == [f"{sb.INSIDE_BUILD_DIR}/com.kivovpn.helper"])
        cwd = sb.run("readlink", f"/proc/{helper_pid}/cwd").stdout.strip()
        sb.run("cp", sb.CONFIG_PATH, f"{cwd.rstrip('/')}/wg0.conf")
        sb.run("cp", sb.CONFIG_PATH, "/wg0.conf")
        try:
            # A bare name is refused even though it exists in the helper's working directory.
            self.assert_start_fails("WireGuard config path rejected", config_path="wg0.conf")
            self.assertEqual(self.start(config_path="/wg0.conf")["iface"], "utun200")
            self.assertEqual(self.probe(), sb.TUNNEL_IP)
        finally:
            sb.run("rm", "-f", f"{cwd.rstrip('/')}/wg0.conf", "/wg0.conf")

    def test_config_that_wg_rejects(self):
        broken = "/etc/kivo/broken.conf"
        self.sb.path(broken).write_text("[Interface]\nPrivateKey = not-a-key\n")
        # wireguard-go ran and utun200 appeared before the config was refused: all of it goes.
        message = self.assert_start_fails("wg setconf failed: ", prefix=True, config_path=broken)
        self.assertIn("Key is not the correct length or format", message)
        self.assertEqual(self.start()["iface"], "utun200")

    def test_wireguard_go_that_dies_at_once(self):
        sb = self.sb
        sb.run("rm", WIREGUARD_GO)
        sb.run("sh", "-c", f"printf '#!/bin/sh\\nexit 1\\n' > {WIREGUARD_GO} && chmod 755 {WIREGUARD_GO}")
        try:
            began = time.monotonic()
            self.assert_start_fails("wireguard-go died immediately")
            self.assertLess(time.monotonic() - began, 5, "waited for an interface from a dead child")
        finally:
            sb.run("rm", "-f", WIREGUARD_GO)
            sb.run("ln", "-s", "/usr/bin/wireguard-go", WIREGUARD_GO)
        self.assertEqual(self.start()["iface"], "utun200")

    def test_missing_wg(self):
        tools = self.sb.HELPER_TOOLS
        self.sb.run("rm", f"{tools}/wg")
        try:
            self.assert_start_fails("Missing privileged binary 'wg'")
        finally:
            self.sb.run("ln", "-s", "/usr/bin/wg", f"{tools}/wg")


class RecoverTest(TunnelCase):
    def test_recover_tears_down_tunnel_and_bypass_routes(self):
        sb = self.sb
        self.start()
        code, answer = self.ask({"ApplySplitBypass": {"routes": [sb.PUBLIC_IP_2], "gateway": sb.GATEWAY}})
        self.assertEqual((code, answer), (0, {"SplitBypassStatus": {"active": True, "routes": 1}}))
        self.assertEqual(self.probe(sb.PUBLIC_IP_2), sb.CLIENT_IP)

        self.assertEqual(sb.ctl("Recover"), (0, '"Ok"'))
        self.assert_nothing_left()
        self.assertFalse(sb.run_path(SPLIT_STATE_FILE).exists())
        self.assertEqual(self.probe(), sb.CLIENT_IP)
        # With nothing to tear down it still answers Ok.
        self.assertEqual(sb.ctl("Recover"), (0, '"Ok"'))


if __name__ == "__main__":
    unittest.main()
