#!/usr/bin/python3
"""The route stand-in against the real kernel, in a throw-away network namespace."""
import shutil
import sys
import tempfile
import unittest
from pathlib import Path

PLATFORM = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(PLATFORM / "sandbox"))
from sandbox import Netns  # noqa: E402

ROUTE = str(PLATFORM / "bin" / "route")
GW = "10.9.0.254"


class RouteTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="kivo-route-test-")
        cls.ns = Netns(cls.tmp)
        cls.ns.run("ip", "-batch", "-", input=(
            "link add en0 type veth peer name en0peer\n"
            "addr add 10.9.0.1/24 dev en0\n"
            "addr add 2001:db8::1/64 dev en0 nodad\n"
            "link set en0 up\n"
            "link set en0peer up\n"
            f"route add default via {GW}\n"
            "tuntap add mode tun name utun7\n"
            "link set utun7 up\n"))

    @classmethod
    def tearDownClass(cls):
        cls.ns.close()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def route(self, *args):
        return self.ns.run(ROUTE, *args, check=False)

    def ok(self, *args):
        result = self.route(*args)
        self.assertEqual(result.returncode, 0, f"route {' '.join(args)}: {result.stderr}")
        return result.stdout

    def table(self, *family):
        return [l.strip() for l in self.ns.run("ip", *family, "route", "show").stdout.splitlines()]

    def gateway_line(self, output):
        """The caller's reading: the first trimmed line starting "gateway:", second word."""
        for line in output.splitlines():
            if line.strip().startswith("gateway:"):
                return line.split()[1]
        return None

    def test_host_route_lifecycle(self):
        self.assertEqual(self.ok("add", "-host", "10.50.0.1", GW).strip(),
                         f"add host 10.50.0.1: gateway {GW}")
        self.assertIn(f"10.50.0.1 via {GW} dev en0", self.table())
        out = self.ok("-n", "get", "10.50.0.1")
        self.assertEqual(self.gateway_line(out), GW)
        self.assertIn("  interface: en0", out.splitlines())
        self.assertIn("destination: 10.50.0.1", out.splitlines())

        again = self.route("add", "-host", "10.50.0.1", GW)
        self.assertEqual(again.returncode, 1)
        self.assertIn("file exists", again.stderr.lower())
        self.assertEqual(again.stderr.splitlines(),
                         ["route: writing to routing socket: File exists",
                          f"add host 10.50.0.1: gateway {GW}: File exists"])
        # One route per destination: another gateway does not make a second one.
        other = self.route("-n", "add", "-host", "10.50.0.1", "10.9.0.253")
        self.assertIn("File exists", other.stderr)

        self.ok("delete", "-host", "10.50.0.1", GW)
        self.assertFalse([l for l in self.table() if l.startswith("10.50.0.1 ")])
        gone = self.route("delete", "-host", "10.50.0.1", GW)
        self.assertEqual(gone.returncode, 1)
        self.assertIn("not in table", gone.stderr)

    def test_delete_matches_destination_not_gateway(self):
        # BSD semantics that the "replace a route with another gateway" paths rely on.
        self.ok("-n", "add", "-host", "10.51.0.1", GW)
        self.ok("-n", "delete", "-host", "10.51.0.1", "10.9.0.253")
        self.assertFalse([l for l in self.table() if l.startswith("10.51.0.1 ")])

    def test_network_routes(self):
        self.ok("add", "-net", "10.60.0.0/16", "-interface", "utun7")
        self.assertIn("10.60.0.0/16 dev utun7 scope link linkdown", self.table())
        out = self.ok("-n", "get", "10.60.3.4")
        self.assertIsNone(self.gateway_line(out), "an interface route has no next hop")
        self.assertIn("  interface: utun7", out.splitlines())
        self.assertIn("       mask: 255.255.0.0", out.splitlines())
        # Deleting without naming the interface removes it too.
        self.ok("delete", "-net", "10.60.0.0/16")
        self.assertFalse([l for l in self.table() if l.startswith("10.60.0.0/16")])

        # Host bits are masked off, as the BSD tool does.
        self.assertEqual(self.ok("-n", "add", "-net", "10.70.1.77/24", GW).strip(),
                         f"add net 10.70.1.0/24: gateway {GW}")
        self.assertIn(f"10.70.1.0/24 via {GW} dev en0", self.table())
        self.assertEqual(self.gateway_line(self.ok("-n", "get", "10.70.1.9")), GW)
        self.assertIn("File exists", self.route("-n", "add", "-net", "10.70.1.0/24", GW).stderr)
        self.ok("-n", "delete", "-net", "10.70.1.0/24", GW)
        self.assertIn("not in table", self.route("-n", "delete", "-net", "10.70.1.0/24", GW).stderr)

    def test_interface_that_does_not_exist(self):
        for verb in ("add", "delete"):
            result = self.route(verb, "-net", "0.0.0.0/1", "-interface", "utun99")
            self.assertNotEqual(result.returncode, 0)
            self.assertIn("utun99", result.stderr)

    def test_get_default_ignores_half_default_routes(self):
        self.ok("add", "-net", "0.0.0.0/1", "-interface", "utun7")
        self.ok("add", "-net", "128.0.0.0/1", "-interface", "utun7")
        try:
            self.assertIn("File exists",
                          self.route("add", "-net", "0.0.0.0/1", "-interface", "utun7").stderr)
            out = self.ok("-n", "get", "default")
            self.assertEqual(self.gateway_line(out), GW)
            self.assertIn("  interface: en0", out.splitlines())
            self.assertIn("destination: default", out.splitlines())
            through_tunnel = self.ok("-n", "get", "198.51.100.1")
            self.assertIsNone(self.gateway_line(through_tunnel))
            self.assertIn("  interface: utun7", through_tunnel.splitlines())
            self.assertIn("destination: 128.0.0.0", through_tunnel.splitlines())
        finally:
            self.ok("delete", "-net", "0.0.0.0/1", "-interface", "utun7")
            self.ok("delete", "-net", "128.0.0.0/1", "-interface", "utun7")
        self.assertIn("not in table",
                      self.route("delete", "-net", "128.0.0.0/1", "-interface", "utun7").stderr)

    def test_get_without_a_route_fails(self):
        for args in (["-n", "get", "-inet6", "2001:db8:99::1"], ["-n", "get", "-inet6", "default"]):
            result = self.route(*args)
            self.assertEqual(result.returncode, 1, args)
            self.assertIn("not in table", result.stderr)
            self.assertEqual(result.stdout, "")

    def test_inet6_forms(self):
        self.ok("-n", "add", "-inet6", "-host", "2001:db8:5::5", "2001:db8::fe")
        self.assertIn("2001:db8:5::5 via 2001:db8::fe dev en0 metric 1024 pref medium",
                      self.table("-6"))
        self.assertEqual(self.gateway_line(self.ok("-n", "get", "-inet6", "2001:db8:5::5")),
                         "2001:db8::fe")
        self.assertIn("File exists",
                      self.route("-n", "add", "-inet6", "-host", "2001:db8:5::5", "2001:db8::fe").stderr)
        self.ok("-n", "delete", "-inet6", "-host", "2001:db8:5::5", "2001:db8::fe")
        self.assertIn("not in table",
                      self.route("-n", "delete", "-inet6", "-host", "2001:db8:5::5", "2001:db8::fe").stderr)

        # A link-local next hop is shown, and taken, with its interface.
        self.ns.run("ip", "-6", "route", "add", "default", "via", "fe80::1", "dev", "en0")
        try:
            default = self.ok("-n", "get", "-inet6", "default")
            self.assertEqual(self.gateway_line(default), "fe80::1%en0")
            self.ok("-n", "add", "-inet6", "-net", "2001:db8:6::/48", "fe80::1%en0")
            self.assertEqual(self.gateway_line(self.ok("-n", "get", "-inet6", "2001:db8:6::9")),
                             "fe80::1%en0")
            self.ok("-n", "delete", "-inet6", "-net", "2001:db8:6::/48", "fe80::1%en0")
        finally:
            self.ns.run("ip", "-6", "route", "del", "default")

    def test_unknown_forms_fail_with_usage(self):
        for args in ([], ["flush"], ["add"], ["add", "-host"], ["add", "-host", "10.1.1.1"],
                     ["get"], ["get", "10.1.1.1", "extra"], ["add", "-host", "10.1.1.1", GW, "x"],
                     ["add", "-bogus", "10.1.1.1", GW]):
            result = self.route(*args)
            self.assertNotEqual(result.returncode, 0, args)
            self.assertIn("usage: route", result.stderr, args)
        for args in (["add", "-host", "not-an-address", GW], ["get", "example.invalid"],
                     ["add", "-host", "10.1.1.1", "bad-gateway"], ["add", "-host", "10.1.1.0/24", GW]):
            result = self.route(*args)
            self.assertNotEqual(result.returncode, 0, args)
            self.assertIn("bad address", result.stderr, args)


if __name__ == "__main__":
    unittest.main()
