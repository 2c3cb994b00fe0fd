#!/usr/bin/python3
"""The sandbox: its topology carries real packets, its view is macOS-like and private, and
nothing of it is left on the machine afterwards, however it ends."""
import json
import os
import signal
import subprocess
import unittest
from pathlib import Path

from standin_support import needs_root, wait_until
from sandbox import TEMP_PREFIX, Sandbox, namespace_id, pin_namespace, processes_in


def host_snapshot():
    """What of the host's namespaces a sandbox could leave changed: its links and mounts."""
    links = subprocess.run(["ip", "-o", "link", "show"], capture_output=True, text=True).stdout
    ours = (TEMP_PREFIX, "kivo-layer", "kivo-root", "kivo-dev", "kivo-shm", "kivo-tmp")
    return ({line.split(":")[1].strip().split("@")[0] for line in links.splitlines()},
            {m for m in Path("/proc/self/mountinfo").read_text().splitlines() if any(w in m for w in ours)})


def busy(sb):
    """Leaves behind what a test would: a tunnel process, a route, a stray process; what to pin."""
    sb.spawn(f"{sb.HELPER_TOOLS}/wireguard-go", "-f", "utun200", stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    sb.spawn("sleep", "300")
    sb.run("route", "add", "-host", sb.SERVER_IP, sb.GATEWAY)
    client, server = sb.client_pid, sb.server.pid
    return {"ns": [[client, "net"], [client, "pid"], [server, "net"], [server, "mnt"]], "dir": str(sb.dir)}


def alive(pid):
    # A zombie has ended; its reaping is up to its parent, often the host's init.
    try:
        return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


# Owns a sandbox in another process, which the test then ends.
CHILD = """
import json, sys, time
sys.path.insert(0, sys.argv[1])
from test_sandbox import Sandbox, busy
with Sandbox() as sb:
    print(json.dumps(busy(sb)), flush=True)
    time.sleep(120)
"""


@needs_root
class SandboxTest(unittest.TestCase):
    def pin(self, ids):
        """What of a sandbox is still on the machine, as a function. Namespace inode numbers are
        reused by sandboxes of tests running alongside; an open handle on each of this sandbox's,
        taken while they live, keeps its inode from being reused, so the processes found in it are
        this sandbox's (its own holders among them)."""
        namespaces = {pin_namespace(pid, kind): namespace_id(pid, kind) for pid, kind in ids["ns"]}
        for fd in namespaces:
            self.addCleanup(os.close, fd)

        def traces():
            left = [ns for ns in namespaces.values() if any(map(alive, processes_in(ns, ns.split(":")[0])))]
            return left + [ids["dir"]] if Path(ids["dir"]).exists() else left
        return traces

    def test_side_by_side_each_carries_packets_has_a_private_macos_view_and_leaves_nothing_however_it_ends(self):
        before = host_snapshot()
        # One owner killed outright: no clean-up code runs, parent-death signals end every process (and
        # with them the namespaces), and the next sandbox sweeps the temp dir.
        with subprocess.Popen(["/usr/bin/python3", "-B", "-c", CHILD, str(Path(__file__).parent)],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as child:
            line = child.stdout.readline()
            self.assertTrue(line, child.stderr.read() if not line else "")
            killed = json.loads(line)
            traces = [self.pin(killed)]
            os.kill(child.pid, signal.SIGKILL)
            self.assertEqual(child.wait(timeout=30), -signal.SIGKILL)
        self.assertTrue(wait_until(lambda: traces[0]() in ([], [killed["dir"]])), traces[0]())
        # The others end by an exception, one inside the other.
        with self.assertRaises(ZeroDivisionError), Sandbox() as sb:
            self.assertFalse(Path(killed["dir"]).exists())
            with Sandbox() as other:
                # The physical path: the source address the echo server saw, or "" when nothing came back.
                # The helper's kill switch and QUIC tests probe the other paths before they change anything.
                for proto, host, port, source in (("tcp", sb.GATEWAY, 80, sb.CLIENT_IP), ("udp", sb.PUBLIC_IP, 9, ""),
                                                  ("tcp", sb.PUBLIC_IP6_2, sb.ECHO_PORT, sb.CLIENT_IP6)):
                    with self.subTest(proto=proto, host=host, port=port):
                        probe = sb.run("kivo-probe", proto, host, str(port), check=False)
                        self.assertEqual(probe.stdout.strip(), source)
                        self.assertEqual(f"{proto} {source} {host} {port}" in sb.server_log(), bool(source))
                # The other sandbox's server saw its own probe and none of these.
                probe = other.run("kivo-probe", "udp", other.PUBLIC_IP, str(other.ECHO_PORT))
                self.assertEqual((probe.stdout.strip(), len(other.server_log())), (other.CLIENT_IP, 1))

                # The stand-ins first on PATH and the helper's tools in place: the tunnel tests run them.
                self.assertEqual(sb.run("stat", "-c", "%a %U", sb.CONFIG_PATH).stdout.split(), ["600", "root"])
                self.assertEqual(sb.run("id", "-G", uid=777).stdout.strip(), "777")
                sb.run("sh", "-c", "echo run > /var/run/kivo-view-probe && echo tmp > /tmp/kivo-view-probe")
                self.assertEqual((sb.run_path("kivo-view-probe").read_text(),
                                  sb.path("/tmp/kivo-view-probe").read_text()), ("run\n", "tmp\n"))
                for host_path in (sb.HELPER_TOOLS, "/run/kivo-view-probe", "/tmp/kivo-view-probe"):
                    self.assertFalse(Path(host_path).exists(), f"{host_path} leaked to the host")
                traces += [self.pin(busy(sb)), self.pin(busy(other))]
            self.assertTrue(wait_until(lambda: not traces[2]()), traces[2]())
            1 / 0
        for left in traces:
            self.assertTrue(wait_until(lambda: not left()), left())
        self.assertEqual(host_snapshot(), before)


if __name__ == "__main__":
    unittest.main()
