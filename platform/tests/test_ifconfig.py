#!/usr/bin/python3
"""The ifconfig stand-in against the real kernel, in a throw-away network namespace."""
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

PLATFORM = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(PLATFORM / "sandbox"))
from sandbox import Netns  # noqa: E402

IFCONFIG = str(PLATFORM / "bin" / "ifconfig")


class IfconfigTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = Path(tempfile.mkdtemp(prefix="kivo-ifconfig-test-"))
        (cls.tmp / "run").mkdir()
        cls.ns = Netns(cls.tmp, run_dir=cls.tmp / "run")
        cls.ns.run("ip", "-batch", "-", input=(
            "link add en0 type veth peer name en0peer\n"
            "addr add 10.9.0.1/24 dev en0\n"
            "link set en0 up\n"
            "link set en0peer up\n"
            "tuntap add mode tun name utun7\n"))

    @classmethod
    def tearDownClass(cls):
        cls.ns.close()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def ifconfig(self, *args):
        return self.ns.run(IFCONFIG, *args, check=False)

    def ok(self, *args):
        result = self.ifconfig(*args)
        self.assertEqual(result.returncode, 0, f"ifconfig {' '.join(args)}: {result.stderr}")
        return result.stdout

    def ipv4_addresses(self, iface):
        out = self.ns.run("ip", "-4", "-o", "addr", "show", "dev", iface).stdout
        return [line.split(" inet ")[1].split(" scope")[0] for line in out.splitlines()]

    def is_up(self, iface):
        flags = self.ns.run("ip", "-o", "link", "show", "dev", iface).stdout.split("<")[1]
        return "UP" in flags.split(">")[0].split(",")

    def test_existence(self):
        out = self.ok("en0")
        self.assertTrue(out.startswith("en0: flags="), out)
        self.assertIn("<UP,BROADCAST,RUNNING,MULTICAST>", out)
        self.assertIn("\tinet 10.9.0.1 netmask 0xffffff00", out)
        self.assertIn("\tstatus: active", out)
        for missing in (["utun250"], ["utun250", "up"], ["utun250", "down"],
                        ["utun250", "10.1.1.1", "10.1.1.1", "netmask", "255.255.255.255"]):
            result = self.ifconfig(*missing)
            self.assertEqual(result.returncode, 1, missing)
            self.assertEqual(result.stderr, "ifconfig: interface utun250 does not exist\n")

    def test_up_and_down(self):
        self.ok("utun7", "up")
        self.assertTrue(self.is_up("utun7"))
        self.assertIn("<UP,POINTOPOINT", self.ok("utun7"))
        self.ok("utun7", "down")
        self.assertFalse(self.is_up("utun7"))

    def test_point_to_point_address(self):
        self.ok("utun7", "198.18.0.2", "198.18.0.2", "netmask", "255.255.255.255")
        self.assertEqual(self.ipv4_addresses("utun7"), ["198.18.0.2/32"])
        self.assertIn("\tinet 198.18.0.2 --> 198.18.0.2 netmask 0xffffffff", self.ok("utun7"))
        # Setting it again, or setting another, leaves exactly one address (no alias).
        self.ok("utun7", "198.18.0.2", "198.18.0.2", "netmask", "255.255.255.255")
        self.assertEqual(self.ipv4_addresses("utun7"), ["198.18.0.2/32"])
        self.ok("utun7", "10.8.0.2", "10.8.0.1", "netmask", "255.255.255.255", "up")
        self.assertEqual(self.ipv4_addresses("utun7"), ["10.8.0.2 peer 10.8.0.1/32"])
        self.assertIn("\tinet 10.8.0.2 --> 10.8.0.1 netmask 0xffffffff", self.ok("utun7"))
        self.assertTrue(self.is_up("utun7"))

    def test_bad_addresses_change_nothing(self):
        self.ok("utun7", "198.18.0.9", "198.18.0.9", "netmask", "255.255.255.255")
        for args in (["999.1.1.1", "198.18.0.2"], ["198.18.0.2", "198.18.0.2", "netmask", "255.0.255.0"],
                     ["198.18.0.2", "a", "b", "c"]):
            self.assertEqual(self.ifconfig("utun7", *args).returncode, 1, args)
        self.assertEqual(self.ipv4_addresses("utun7"), ["198.18.0.9/32"])

    def test_wireguard_go_interface_appears_and_goes(self):
        # What the tunnel start waits for: ifconfig IFACE succeeds exactly while it runs.
        self.assertEqual(self.ifconfig("utun201").returncode, 1)
        proc = self.ns.spawn("wireguard-go", "-f", "utun201", stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while self.ifconfig("utun201").returncode != 0:
            self.assertLess(time.monotonic(), deadline, "utun201 never appeared")
            time.sleep(0.05)
        self.ok("utun201", "up")
        self.ok("utun201", "198.18.0.2", "198.18.0.2", "netmask", "255.255.255.255")
        self.assertIn("mtu 1420", self.ok("utun201"))
        proc.kill()
        proc.wait()
        deadline = time.monotonic() + 10
        while self.ifconfig("utun201").returncode == 0:
            self.assertLess(time.monotonic(), deadline, "utun201 outlived wireguard-go")
            time.sleep(0.05)


if __name__ == "__main__":
    unittest.main()
