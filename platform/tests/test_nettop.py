#!/usr/bin/python3
"""The nettop stand-in: real flows of chosen processes in a throw-away network namespace."""
import csv
import json
import unittest

from standin_support import BIN, StandinTest, needs_root

# Opens the flows, starts a second process (its name holds a comma) with a connection of
# its own, and runs nettop as the product does while all of them are alive.
SCENARIO = r"""
import json, os, socket, subprocess, sys
server = socket.create_server(("127.0.0.1", 0))
tcp = [socket.socket(family) for family in (socket.AF_INET, socket.AF_INET6)]  # dual-stack, talking IPv4
for sock, end in zip(tcp, [("198.51.100.8", 443), ("::ffff:198.51.100.9", 443)]):
    sock.setblocking(False)
    sock.connect_ex(end)
udp = [socket.socket(family, socket.SOCK_DGRAM) for family in (socket.AF_INET, socket.AF_INET6, socket.AF_INET6)]
for sock, end in zip(udp, [("198.51.100.7", 443), ("2001:db8::9", 443),
                           ("fe80::9", 53, 0, socket.if_nametoindex("utun42"))]):
    sock.connect(end)
other = subprocess.Popen([sys.executable, "-c", "import socket, sys\n"
                          "open('/proc/self/comm', 'w').write('kivo,other')\n"
                          "s = socket.create_connection(('127.0.0.1', int(sys.argv[1])))\n"
                          "print(flush=True)\nsys.stdin.read()", str(server.getsockname()[1])],
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE)
other.stdout.readline()
accepted = server.accept()[0]
pids = [word for pid in (other.pid, os.getpid(), 999999999) for word in ("-p", str(pid))]
shown = subprocess.run([sys.argv[1], "-n", "-L", "1", *pids], capture_output=True, text=True).stdout
print(json.dumps({"me": os.getpid(), "them": other.pid, "server": server.getsockname()[1],
                  "other_end": accepted.getpeername()[1], "shown": shown}))
"""


def flows_by_process(output):
    """{process field: {remote end: (protocol, interface, state)}}, read as the product does."""
    groups = {}
    for _, name, interface, state, *_ in csv.reader(output.splitlines()[1:]):
        if "<->" not in name:
            current = groups.setdefault(name, {})
        else:
            current[name.split("<->")[1]] = (name.split()[0], interface, state)
    return groups


@needs_root
class NettopTest(StandinTest):
    TOOL = "nettop"
    # Flows through a tun device named like a tunnel: nothing reads it, so no packet goes anywhere.
    NAMESPACE = ("tuntap add utun42 mode tun\nlink set utun42 up\naddr add 10.9.0.1/24 dev utun42\n"
                 "addr add 2001:db8::1/64 dev utun42 nodad\naddr add fe80::1/64 dev utun42 nodad\n"
                 "route add 198.51.100.0/24 dev utun42\n")

    def test_flows_of_the_chosen_processes_only_and_usage_on_a_bad_command_line(self):
        seen = json.loads(self.ns.run("/usr/bin/python3", "-c", SCENARIO, str(BIN / "nettop")).stdout)
        me, them = f"python3.{seen['me']}", f"kivo,other.{seen['them']}"
        self.assertTrue(seen["shown"].startswith("time,"))
        # A name holding a comma is quoted (or it would split its row); an unknown pid adds nothing.
        self.assertEqual(flows_by_process(seen["shown"]), {
            them: {f"127.0.0.1:{seen['server']}": ("tcp4", "lo", "Established")}, me: {
            "*:*": ("tcp4", "", "Listen"),
            f"127.0.0.1:{seen['other_end']}": ("tcp4", "lo", "Established"),
            "198.51.100.7:443": ("quic4", "utun42", ""), "198.51.100.8:443": ("tcp4", "utun42", "SynSent"),
            "::ffff:198.51.100.9.443": ("tcp6", "utun42", "SynSent"), "2001:db8::9.443": ("quic6", "utun42", ""),
            "fe80::9%utun42.53": ("udp6", "utun42", "")}})
        self.fails([(["-n"], 1, "usage: nettop"), (["-n", "-L", "1", "-m", "icmp"], 1, "usage: nettop")])


if __name__ == "__main__":
    unittest.main()
