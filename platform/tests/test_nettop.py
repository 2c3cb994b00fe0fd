"""nettop stand-in: real flows of chosen processes inside a throw-away namespace."""
import csv
import json
import os
import shutil
import subprocess
import unittest

TOOL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bin", "nettop")

# Runs as root inside `unshare --net`: a loopback TCP connection, flows through a tun
# device named like a tunnel (nothing reads it, so no packet goes anywhere), and a
# second process with its own connection that must only show when it is asked for.
SCENARIO = r"""
import json, os, socket, subprocess, sys
tool = sys.argv[1]
def sh(*args):
    subprocess.run(args, check=True)
sh("ip", "link", "set", "lo", "up")
sh("ip", "tuntap", "add", "utun42", "mode", "tun")
sh("ip", "link", "set", "utun42", "up")
sh("ip", "addr", "add", "10.9.0.1/24", "dev", "utun42")
sh("ip", "-6", "addr", "add", "2001:db8::1/64", "dev", "utun42", "nodad")
sh("ip", "-6", "addr", "add", "fe80::1/64", "dev", "utun42", "nodad")
sh("ip", "route", "add", "198.51.100.0/24", "dev", "utun42")

server = socket.socket()
server.bind(("127.0.0.1", 0))
server.listen()
client = socket.create_connection(server.getsockname())
accepted, _ = server.accept()
udp4 = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
udp4.connect(("198.51.100.7", 443))
syn = socket.socket()
syn.setblocking(False)
syn.connect_ex(("198.51.100.8", 443))
udp6 = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
udp6.connect(("2001:db8::9", 443))
link_local = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
link_local.connect(("fe80::9", 53, 0, socket.if_nametoindex("utun42")))

other = subprocess.Popen([sys.executable, "-c", '''
import socket, sys
open("/proc/self/comm", "w").write("kivo,other")
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
print("ready", flush=True)
sys.stdin.read()
''', str(server.getsockname()[1])], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
other.stdout.readline()
other_conn, _ = server.accept()

def nettop(*args):
    r = subprocess.run([tool, *args], capture_output=True, text=True, timeout=10)
    return {"rc": r.returncode, "out": r.stdout, "err": r.stderr}

me, them = os.getpid(), other.pid
runs = {
    "mine": nettop("-n", "-L", "1", "-p", str(me)),
    "both": nettop("-n", "-L", "1", "-p", str(them), "-p", str(me)),
    "udp": nettop("-n", "-L1", "-m", "udp", "-p", str(me)),
    "summary": nettop("-n", "-L", "1", "-P", "-p", str(me)),
    "gone": nettop("-n", "-L", "1", "-p", "999999999"),
    "twice": nettop("-n", "-L", "2", "-s", "1", "-p", str(them)),
}
other.stdin.close()
other.wait()
print(json.dumps({"me": me, "them": them, "server_port": server.getsockname()[1],
                  "client_port": client.getsockname()[1],
                  "udp4_port": udp4.getsockname()[1], "runs": runs}))
"""


def rows(output):
    return list(csv.reader(output.splitlines()))


def flows_by_process(output):
    """Flow rows (field 2, field 3, field 4) grouped under the process row above them."""
    groups, current = {}, None
    for row in rows(output):
        if row[0] == "time":
            continue
        if "<->" not in row[1]:
            current = row[1]
            groups[current] = []
        else:
            groups[current].append((row[1], row[2], row[3]))
    return groups


@unittest.skipUnless(os.geteuid() == 0 and shutil.which("unshare") and shutil.which("ip"),
                     "needs root, unshare and ip")
class NettopFlowsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        result = subprocess.run(["unshare", "--net", "/usr/bin/python3", "-c", SCENARIO,
                                 os.path.abspath(TOOL)],
                                capture_output=True, text=True, timeout=60)
        if result.returncode != 0:
            raise RuntimeError(f"scenario failed: {result.stderr}")
        cls.facts = json.loads(result.stdout)
        cls.runs = cls.facts["runs"]

    def test_header_then_process_then_flows(self):
        run = self.runs["mine"]
        self.assertEqual((run["rc"], run["err"]), (0, ""))
        lines = run["out"].splitlines()
        self.assertTrue(lines[0].startswith("time,"))
        me = self.facts["me"]
        self.assertEqual(rows(run["out"])[1][1], f"python3.{me}")
        self.assertEqual(list(flows_by_process(run["out"])), [f"python3.{me}"])

    def test_flow_texts_interfaces_and_states(self):
        f = self.facts
        flows = flows_by_process(self.runs["mine"]["out"])[f"python3.{f['me']}"]
        server, client = f["server_port"], f["client_port"]
        self.assertIn((f"tcp4 127.0.0.1:{server}<->*:*", "", "Listen"), flows)
        self.assertIn((f"tcp4 127.0.0.1:{client}<->127.0.0.1:{server}", "lo", "Established"),
                      flows)
        self.assertIn((f"tcp4 127.0.0.1:{server}<->127.0.0.1:{client}", "lo", "Established"),
                      flows)
        self.assertIn((f"udp4 10.9.0.1:{f['udp4_port']}<->198.51.100.7:443", "utun42", ""),
                      flows)
        by_text = {text.split("<->")[1]: (iface, state) for text, iface, state in flows}
        self.assertEqual(by_text["198.51.100.8:443"], ("utun42", "SynSent"))
        self.assertEqual(by_text["2001:db8::9.443"], ("utun42", ""))
        self.assertEqual(by_text["fe80::9%utun42.53"], ("utun42", ""))
        local_ends = [text.split(" ")[1].split("<->")[0] for text, _, _ in flows]
        self.assertTrue(any(e.startswith("2001:db8::1.") for e in local_ends), local_ends)
        self.assertTrue(any(e.startswith("fe80::1%utun42.") for e in local_ends), local_ends)

    def test_only_chosen_processes_and_quoted_names(self):
        f = self.facts
        groups = flows_by_process(self.runs["both"]["out"])
        self.assertEqual(sorted(groups), sorted([f"python3.{f['me']}",
                                                 f"kivo,other.{f['them']}"]))
        self.assertIn(f'"kivo,other.{f["them"]}"', self.runs["both"]["out"])
        other_flows = groups[f"kivo,other.{f['them']}"]
        self.assertEqual(len(other_flows), 1)
        self.assertTrue(other_flows[0][0].endswith(f"<->127.0.0.1:{f['server_port']}"))

    def test_filters_and_samples(self):
        me = self.facts["me"]
        udp = flows_by_process(self.runs["udp"]["out"])[f"python3.{me}"]
        self.assertEqual(len(udp), 3)
        self.assertTrue(all(text.startswith("udp") for text, _, _ in udp))
        summary = rows(self.runs["summary"]["out"])
        self.assertEqual([r[1] for r in summary], ["", f"python3.{me}"])
        gone = self.runs["gone"]
        self.assertEqual((gone["rc"], len(gone["out"].splitlines())), (0, 1))
        twice = self.runs["twice"]["out"].splitlines()
        self.assertEqual(sum(line.startswith("time,") for line in twice), 2)
        self.assertEqual(len(twice), 6)


class NettopUsageTest(unittest.TestCase):
    def test_bad_command_lines_fail_with_usage(self):
        for args in (["-n", "-L", "1", "-z"], ["-n"], ["-L", "x"], ["-L", "1", "-m", "icmp"],
                     ["-L", "1", "stray"], ["-L", "1", "-p"]):
            result = subprocess.run([TOOL, *args], capture_output=True, text=True, timeout=10)
            self.assertEqual(result.returncode, 1, args)
            self.assertIn("usage: nettop", result.stderr)
            self.assertEqual(result.stdout, "")


if __name__ == "__main__":
    unittest.main()
