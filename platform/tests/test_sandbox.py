#!/usr/bin/python3
"""The sandbox: its topology carries real packets, its view is macOS-like and private, and
nothing of it is left on the machine afterwards, however it ends."""
import json
import os
import signal
import subprocess
import sys
import tempfile
import textwrap
import time
import unittest
from pathlib import Path

PLATFORM = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(PLATFORM / "sandbox"))
from sandbox import TEMP_PREFIX, Sandbox, processes_in  # noqa: E402

CONSOLE_UID = 4242


class TopologyTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sb = Sandbox(console_uid=CONSOLE_UID).__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.sb.close()

    def probe(self, proto, host, port=Sandbox.ECHO_PORT):
        return self.sb.run("kivo-probe", proto, host, str(port), check=False)

    def test_physical_path(self):
        sb = self.sb
        for proto, host, port in (("udp", sb.PUBLIC_IP, sb.ECHO_PORT), ("tcp", sb.PUBLIC_IP_2, 443),
                                  ("tcp", sb.GATEWAY, 80), ("udp", sb.SERVER_IP, 53)):
            result = self.probe(proto, host, port)
            self.assertEqual(result.stdout.strip(), sb.CLIENT_IP, (proto, host, result.stderr))
            self.assertIn(f"{proto} {sb.CLIENT_IP} {host} {port}", sb.server_log())
        closed = self.probe("udp", sb.PUBLIC_IP, 9)
        self.assertEqual(closed.returncode, 1)

    def test_macos_like_view(self):
        sb = self.sb
        self.assertEqual(sb.run("sh", "-c", "command -v route; command -v ifconfig").stdout.split(),
                         [f"{sb.INSIDE_PLATFORM_DIR}/route", f"{sb.INSIDE_PLATFORM_DIR}/ifconfig"])
        for name in ("wireguard-go", "wg"):
            sb.run("test", "-x", f"{sb.HELPER_TOOLS}/{name}")
            self.assertFalse(Path(f"{sb.HELPER_TOOLS}/{name}").exists(), "leaked to the host")
        sb.run("test", "-d", sb.APP_BINARIES)
        config = sb.run("stat", "-c", "%a %U", sb.CONFIG_PATH).stdout.split()
        self.assertEqual(config, ["600", "root"])
        self.assertIn(f"Endpoint = {sb.SERVER_IP}:{sb.WG_PORT}", sb.run("cat", sb.CONFIG_PATH).stdout)
        self.assertEqual(sb.run("ifconfig", sb.PHYSICAL_IFACE).returncode, 0)
        self.assertIn(f"    gateway: {sb.GATEWAY}", sb.run("route", "-n", "get", "default").stdout)

    def test_private_run_and_tmp(self):
        sb = self.sb
        sb.run("sh", "-c", "echo inside > /var/run/kivo-sandbox-probe && echo t > /tmp/kivo-probe-t")
        self.assertEqual(sb.run_path("kivo-sandbox-probe").read_text(), "inside\n")
        self.assertFalse(Path("/run/kivo-sandbox-probe").exists())
        self.assertFalse(Path("/tmp/kivo-probe-t").exists())
        self.assertEqual(sb.path("/tmp/kivo-probe-t").read_text(), "t\n")

    def test_console_owner_and_other_users(self):
        sb = self.sb
        self.assertEqual(sb.run("stat", "-c", "%u", "/dev/console").stdout.strip(), str(CONSOLE_UID))
        self.assertEqual(sb.run("id", "-u", uid=CONSOLE_UID).stdout.strip(), str(CONSOLE_UID))
        self.assertEqual(sb.run("id", "-G", uid=777).stdout.strip(), "777")
        sb.set_console_owner(0)
        try:
            self.assertEqual(sb.run("stat", "-c", "%u", "/dev/console").stdout.strip(), "0")
        finally:
            sb.set_console_owner(CONSOLE_UID)

    def test_own_process_namespace(self):
        sb = self.sb
        sleeper = sb.spawn("sleep", "60")
        inner = sb.inner_pid(sleeper)
        self.assertIn(str(inner), sb.run("sh", "-c", "ls /proc").stdout.split())
        sb.run("kill", "-9", str(inner))
        sleeper.wait(timeout=10)
        # killall inside reaches only the client: the server's WireGuard peer survives.
        sb.run("killall", "-9", "wireguard-go", check=False)
        self.assertEqual(sb.server_run("wg", "show", "wg0", "listen-port").stdout.strip(),
                         str(sb.WG_PORT))

    def test_tunnel_built_with_the_stand_ins_carries_packets(self):
        # The helper's own sequence of commands, run by hand.
        sb = self.sb
        wg = sb.spawn(f"{sb.HELPER_TOOLS}/wireguard-go", "-f", "utun200",
                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 10
            while sb.run("ifconfig", "utun200", check=False).returncode != 0:
                self.assertLess(time.monotonic(), deadline)
                time.sleep(0.05)
            sb.run(f"{sb.HELPER_TOOLS}/wg", "setconf", "utun200", sb.CONFIG_PATH)
            sb.run("ifconfig", "utun200", "up")
            sb.run("ifconfig", "utun200", sb.TUNNEL_IP, sb.TUNNEL_IP, "netmask", "255.255.255.255")
            sb.run("route", "add", "-host", sb.SERVER_IP, sb.GATEWAY)
            sb.run("route", "add", "-net", "0.0.0.0/1", "-interface", "utun200")
            sb.run("route", "add", "-net", "128.0.0.0/1", "-interface", "utun200")

            self.assertEqual(self.probe("udp", sb.PUBLIC_IP).stdout.strip(), sb.TUNNEL_IP)
            self.assertEqual(self.probe("tcp", sb.PUBLIC_IP_2, 443).stdout.strip(), sb.TUNNEL_IP)
            rx, tx = map(int, sb.run("wg", "show", "utun200", "transfer").stdout.split()[1:3])
            self.assertGreater(rx, 0)
            self.assertGreater(tx, 0)
            # A bypass route through the physical gateway takes one host around the tunnel.
            sb.run("route", "-n", "add", "-host", sb.PUBLIC_IP_2, sb.GATEWAY)
            self.assertEqual(self.probe("udp", sb.PUBLIC_IP_2).stdout.strip(), sb.CLIENT_IP)
            self.assertEqual(self.probe("udp", sb.PUBLIC_IP).stdout.strip(), sb.TUNNEL_IP)
        finally:
            for args in (["-n", "delete", "-host", sb.PUBLIC_IP_2, sb.GATEWAY],
                         ["delete", "-net", "0.0.0.0/1", "-interface", "utun200"],
                         ["delete", "-net", "128.0.0.0/1", "-interface", "utun200"],
                         ["delete", "-host", sb.SERVER_IP, sb.GATEWAY]):
                sb.run("route", *args, check=False)
            wg.kill()
            wg.wait()
            sb.run("killall", "-9", "wireguard-go", check=False)
        self.assertEqual(self.probe("udp", sb.PUBLIC_IP).stdout.strip(), sb.CLIENT_IP)


OUR_MOUNT_WORDS = (TEMP_PREFIX, "kivo-layer", "kivo-root", "kivo-dev", "kivo-shm", "kivo-tmp")


def host_snapshot():
    """What of the host a sandbox could touch (other tests may run beside this one)."""
    links = subprocess.run(["ip", "-o", "link", "show"], capture_output=True, text=True).stdout
    mounts = Path("/proc/self/mountinfo").read_text().splitlines()
    return {
        "netns": set(subprocess.run(["ip", "netns", "list"], capture_output=True,
                                    text=True).stdout.split()),
        "links": {line.split(":")[1].strip() for line in links.splitlines()},
        "mounts": {l for l in mounts if any(w in l for w in OUR_MOUNT_WORDS)},
        "temp": {p.name for p in Path(tempfile.gettempdir()).glob(f"{TEMP_PREFIX}*")},
    }


def traces(ids):
    """What of one sandbox is still on the machine."""
    left = []
    for ns in ids["namespaces"]:
        kind = ns.split(":")[0]
        if processes_in(ns, kind):
            left.append(f"processes in {ns}")
    for pid in ids["pids"]:
        if Path(f"/proc/{pid}").exists():
            left.append(f"process {pid}")
    if Path(ids["dir"]).exists():
        left.append(ids["dir"])
    return left


def sandbox_ids(sb):
    return {"namespaces": [sb.client_net_id, sb.client_pid_ns_id, sb.server.net_id, sb.server.mnt_id],
            "pids": [sb.client_pid, sb.server.pid], "dir": str(sb.dir), "id": sb.id}


CHILD = textwrap.dedent("""
    import json, sys, subprocess, time
    sys.path.insert(0, {sandbox_dir!r})
    from sandbox import Sandbox
    from test_ids import sandbox_ids
    with Sandbox() as sb:
        sb.spawn("{helper_tools}/wireguard-go", "-f", "utun200",
                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        print(json.dumps(sandbox_ids(sb)), flush=True)
        time.sleep(120)
""")


class CleanupTest(unittest.TestCase):
    def assertNothingLeft(self, ids, before):
        deadline = time.monotonic() + 10
        while traces(ids) and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(traces(ids), [])
        after = host_snapshot()
        self.assertEqual({n for n in after["netns"] - before["netns"] if ids["id"] in n}, set())
        self.assertEqual(after["links"] - before["links"], set())
        self.assertEqual(after["mounts"] - before["mounts"], set())
        # Other sandboxes may be running in parallel; only this one's temp dir must be gone.
        self.assertEqual({t for t in after["temp"] - before["temp"] if ids["id"] in t}, set())

    def busy(self, sb):
        """Leaves behind what a test would: a tunnel process, routes, a stray process."""
        sb.spawn(f"{sb.HELPER_TOOLS}/wireguard-go", "-f", "utun200",
                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        sb.spawn("sleep", "300")
        sb.run("route", "add", "-host", sb.SERVER_IP, sb.GATEWAY)

    def test_normal_end(self):
        before = host_snapshot()
        with Sandbox() as sb:
            self.busy(sb)
            ids = sandbox_ids(sb)
            self.assertTrue(Path(ids["dir"]).exists())
        self.assertNothingLeft(ids, before)

    def test_exception_inside(self):
        before = host_snapshot()
        with self.assertRaises(ZeroDivisionError):
            with Sandbox() as sb:
                self.busy(sb)
                ids = sandbox_ids(sb)
                1 / 0
        self.assertNothingLeft(ids, before)

    def test_sandboxes_side_by_side(self):
        before = host_snapshot()
        with Sandbox() as a, Sandbox() as b:
            self.assertNotEqual(a.client_net_id, b.client_net_id)
            for sb in (a, b):
                self.assertEqual(sb.run("kivo-probe", "udp", sb.PUBLIC_IP, str(sb.ECHO_PORT)).stdout.strip(),
                                 sb.CLIENT_IP)
                self.assertEqual(len(sb.server_log()), 1)
            ids = [sandbox_ids(a), sandbox_ids(b)]
        for one in ids:
            self.assertNothingLeft(one, before)

    def run_child_and(self, end):
        """Runs a sandbox in another process, ends that process with `end`, and checks."""
        before = host_snapshot()
        with tempfile.TemporaryDirectory() as tmp:
            Path(tmp, "test_ids.py").write_text(
                "from test_sandbox import sandbox_ids\n")
            script = CHILD.format(sandbox_dir=str(PLATFORM / "sandbox"),
                                  helper_tools=Sandbox.HELPER_TOOLS)
            env = dict(os.environ, PYTHONPATH=f"{tmp}:{Path(__file__).parent}")
            child = subprocess.Popen(["/usr/bin/python3", "-c", script], env=env,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            try:
                ids = json.loads(child.stdout.readline() or "null")
                self.assertIsNotNone(ids, child.stderr.read() if child.poll() is not None else "")
                end(child)
                child.wait(timeout=30)
            finally:
                child.kill()
                child.wait()
                child.stdout.close()
                child.stderr.close()
        return ids, before

    def test_ctrl_c(self):
        ids, before = self.run_child_and(lambda child: child.send_signal(signal.SIGINT))
        self.assertNothingLeft(ids, before)

    def test_owner_killed_outright(self):
        ids, before = self.run_child_and(lambda child: child.kill())
        # No clean-up code ran: the parent-death signals end every process (and with them
        # the namespaces); the temp dir is swept by the next sandbox.
        deadline = time.monotonic() + 10
        while [t for t in traces(ids) if t != ids["dir"]] and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual([t for t in traces(ids) if t != ids["dir"]], [])
        with Sandbox():
            self.assertFalse(Path(ids["dir"]).exists())
        self.assertNothingLeft(ids, before)


if __name__ == "__main__":
    unittest.main()
