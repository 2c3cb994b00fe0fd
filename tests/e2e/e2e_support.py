"""One sandbox per test class with the real helper in it, and the ways the tests ask it and look."""
import contextlib
import json
import os
import socket
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
S = Sandbox

TUNNEL_STATE = "com.kivovpn.helper.state.json"
SPLIT_STATE = "com.kivovpn.helper.split.state.json"
PF_STATE = "com.kivovpn.helper.pf.state.json"
QUIC_STATE = "com.kivovpn.helper.quic.state.json"
CUSTOM_STATE = "com.kivovpn.helper.custom_split.state.json"
STEERING_STATE = "com.kivovpn.helper.packet_steering.state.json"
# Restore keeps what the steering engine learned for the next stage.
STEERING_CACHE = "com.kivovpn.helper.packet_steering.cache.json"
SOCKET = "com.kivovpn.helper.sock"
OK = "Ok"
STOPPED = {"Status": {"connected": False, "iface": "", "pid": 0}}
GONE_APP = "/Applications/Gone.app"
LOOPBACK_PORT = 9999
# The pfctl stand-in keeps pf's own memory (enable references) here, inside the client's /run.
PF_STANDIN_DIR = "kivo-pf-standin"
# The executables the engines track: kivo-app is a Python script, kivo-stream runs as itself.
APP_EXE = "/usr/bin/python3"
STREAM_EXE = f"{S.INSIDE_PLATFORM_DIR}/kivo-stream"


def err(code, message):
    return {"Err": {"code": code, "message": message}}


def kill_switch_status(enabled):
    return {"KillSwitchStatus": {"enabled": enabled}}


def start_request(**fields):
    return {"StartTunnel": {"config_path": S.CONFIG_PATH, "client_ip": S.TUNNEL_IP,
                            "server_ip": S.SERVER_IP, "gateway": S.GATEWAY, **fields}}


def stage_request(engine, *apps, routes=(), gateway=S.GATEWAY):
    """StageCustomSplitEngine or StagePacketSteeringEngine, by the engine's name."""
    return {f"Stage{engine}": {"app_paths": list(apps), "routes": list(routes), "gateway": gateway,
                               "allow_lan": False}}


def pid_update(engine, generation, exe_path, pids, name="Tracked"):
    """UpdateCustomSplitEnginePids or UpdatePacketSteeringPids, by the engine's name: one app's snapshot."""
    update = {"CustomSplitEngine": "UpdateCustomSplitEnginePids", "PacketSteeringEngine": "UpdatePacketSteeringPids"}
    return {update[engine]: {"generation": generation, "apps": [
        {"name": name, "exe_path": exe_path, "active_pids": list(pids)}]}}


def wait_until(condition, within, step=0.1):
    """Polls `condition` until it holds or `within` seconds have passed; its last value."""
    deadline = time.monotonic() + within
    while not (held := condition()) and time.monotonic() < deadline:
        time.sleep(step)
    return held


@unittest.skipUnless(BUILT, f"com.kivovpn.helper and kivo-helperctl are not built in {BUILD}")
class HelperCase(unittest.TestCase):

    console_uid = None
    starts_helper = True

    @classmethod
    def setUpClass(cls):
        cls.sb = Sandbox(console_uid=cls.console_uid, build_dir=BUILD).__enter__()
        try:
            if cls.starts_helper:
                cls.sb.start_helper()
            cls.prepare()
            cls.bare_routes = cls.routes()
        except BaseException:
            cls.sb.close()
            raise

    @classmethod
    def prepare(cls):
        """What every test of the class needs, set up before `bare_routes` is taken."""

    @classmethod
    def tearDownClass(cls):
        cls.sb.close()

    def request(self, request, uid=None):
        """The decoded response of one kivo-helperctl call; its exit code must match it."""
        code, out = self.sb.ctl(request, uid=uid)
        try:
            answer = json.loads(out)
        except ValueError:
            self.fail(f"not a JSON response to {request!r}: {out!r} (exit {code})")
        self.assertEqual(code, 1 if isinstance(answer, dict) and "Err" in answer else 0, out)
        return answer

    def send_raw(self, data, read_answer=True, timeout=60):
        """Sends bytes (or a request, encoded) as root straight to the helper's socket, whether or not it
        reads them all: the answer's bytes, or none when the client hangs up at once."""
        if not isinstance(data, bytes):
            data = json.dumps(data, separators=(",", ":")).encode()
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(timeout)
            s.connect(str(self.sb.run_path(SOCKET)))
            with contextlib.suppress(BrokenPipeError, ConnectionResetError):
                s.sendall(data)
            s.shutdown(socket.SHUT_WR)
            chunks = []
            while read_answer and (chunk := s.recv(65536)):
                chunks.append(chunk)
        return b"".join(chunks)

    def start_tunnel(self, **fields):
        return self.request(start_request(**fields))["Status"]

    def ctl_in_background(self, request, **pipes):
        """A kivo-helperctl run left going, its output discarded unless `pipes` say otherwise."""
        pipes = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL, **pipes}
        text = request if isinstance(request, str) else json.dumps(request, separators=(",", ":"))
        return self.sb.spawn(f"{S.INSIDE_BUILD_DIR}/kivo-helperctl", text, stdin=subprocess.DEVNULL, **pipes)

    def held_streams(self, *hosts):
        """The pids of one kivo-stream per host, each holding a TCP connection to it open."""
        pids = []
        for host in hosts:
            stream = self.sb.spawn("kivo-stream", host, str(S.HOLD_PORT), stdout=subprocess.PIPE)
            self.assertEqual(stream.stdout.readline().split()[:1], [b"connected"], host)
            pids.append(self.sb.inner_pid(stream))
        return pids

    def state(self, name):
        """A state file of the helper's, decoded; None when there is none."""
        path = self.sb.run_path(name)
        return json.loads(path.read_text()) if path.exists() else None

    def helper_files(self, prefix):
        return sorted(p.name for p in self.sb.run_path().iterdir() if p.name.startswith(prefix))

    def assert_record(self, name, started, **fields):
        """A state file in compact JSON, mode 0600, holding `fields` in this order and then a time
        stamp between `started` and now."""
        text = self.sb.run_path(name).read_text()
        record = json.loads(text)
        stamp = list(record)[-1]
        self.assertEqual((list(record), text), ([*fields, stamp], json.dumps(record, separators=(",", ":"))))
        self.assertTrue(stamp.endswith("_at") and started <= record[stamp] <= time.time(), text)
        for key, expected in fields.items():
            self.assertEqual(record[key], expected, key)
        self.assertEqual(self.sb.run_path(name).stat().st_mode & 0o777, 0o600)
        return record

    def probe(self, host=S.PUBLIC_IP, proto="udp", port=S.ECHO_PORT, timeout=3):
        """The source address the echo server saw, or None when nothing came back."""
        result = self.sb.run("kivo-probe", proto, host, str(port), "--timeout", str(timeout), check=False)
        return result.stdout.strip() if result.returncode == 0 else None

    def arrivals(self, dst):
        """How many packets to `dst` the echo server has logged."""
        return sum(1 for line in self.sb.server_log() if line.split()[2] == dst)

    def assert_dropped(self, host, proto="udp", port=S.ECHO_PORT):
        before = self.arrivals(host)
        # A leaked packet crosses the veth and is logged long before the probe gives up.
        self.assertIsNone(self.probe(host, proto, port, timeout=0.5), f"{proto} {host}:{port} got out")
        self.assertEqual(self.arrivals(host), before, f"{proto} {host}:{port} reached the server")

    @classmethod
    def routes(cls, family="-4"):
        return cls.sb.run("ip", family, "route", "show", "table", "main").stdout.splitlines()

    def utuns(self):
        links = self.sb.run("ip", "-br", "link").stdout.splitlines()
        return [line.split()[0] for line in links if line.startswith("utun")]

    def wireguard_go_pids(self):
        return [int(p) for p in self.sb.run("pgrep", "-x", "wireguard-go", check=False).stdout.split()]

    def tunnel_leftovers(self):
        """(utun interfaces, wireguard-go pids) once killed ones are gone: killall -9 does not
        wait for a process to exit (and take its utun along) or for its parent to reap it."""
        wait_until(lambda: not self.wireguard_go_pids(), 5, 0.05)
        return self.utuns(), self.wireguard_go_pids()

    def assert_no_tunnel(self):
        """Nothing of a tunnel is left: no utun, no wireguard-go, no route, no record."""
        self.assertEqual(self.tunnel_leftovers(), ([], []))
        self.assertEqual(self.routes(), self.bare_routes)
        self.assertIsNone(self.state(TUNNEL_STATE))
        self.assertEqual(self.request("Status"), STOPPED)

    def pf_info(self):
        """(pf enabled, enable references held) as `pfctl -s info` reports them."""
        info = self.sb.run("pfctl", "-s", "info").stdout
        refs = next(int(line.split()[-1]) for line in info.splitlines()
                    if line.startswith("Enable references"))
        return info.startswith("Status: Enabled"), refs

    def pf_tokens(self):
        """The reference tokens pf holds, from the stand-in's own record."""
        files = self.sb.run_path(PF_STANDIN_DIR).glob("netns-*.json")
        return sorted(t for f in files for t in json.loads(f.read_text())["tokens"])

    @contextlib.contextmanager
    def tool_replaced(self, name, script):
        """Puts a script in a privileged tool's place for the block."""
        inside = f"{S.HELPER_TOOLS}/{name}"
        target = os.readlink(self.sb.path(inside))
        self.sb.run("rm", inside)
        try:
            self.sb.path(inside).write_text(script)
            self.sb.path(inside).chmod(0o755)
            yield
        finally:
            self.sb.run("ln", "-sfn", target, inside)


class PfCase(HelperCase):
    """A host route takes PUBLIC_IP_2 around any tunnel, an echo server listens on the
    client's loopback, and every test ends with the kill switch, QUIC block and tunnel off."""

    @classmethod
    def prepare(cls):
        sb = cls.sb
        sb.run("route", "-n", "add", "-host", sb.PUBLIC_IP_2, sb.GATEWAY)
        port = str(LOOPBACK_PORT)
        echo = sb.spawn("kivo-echo", "--log", "/tmp/loopback-echo.log", "--udp", port, "--tcp", port,
                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        if echo.stdout.readline().strip() != b"ready":
            raise RuntimeError("the loopback echo server did not start")

    def tearDown(self):
        for request in ("RemoveKillSwitch", {"SetQuicMitigation": {"enabled": False}}, "StopTunnel"):
            self.sb.ctl(request)

    def apply_kill_switch(self, server_ip=S.SERVER_IP):
        self.assertEqual(self.request({"ApplyKillSwitch": {"server_ip": server_ip}}), OK)
