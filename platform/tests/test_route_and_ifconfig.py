#!/usr/bin/python3
"""The route and ifconfig stand-ins against the real kernel, each in a throw-away network namespace
made by one script."""
import unittest

from standin_support import StandinTest, macos_sample, needs_root

GW = "10.9.0.254"


@needs_root
class RouteTest(StandinTest):
    TOOL = "route"
    # A LAN with its router, and a tunnel holding the half defaults as a running tunnel does.
    NAMESPACE = ("link add en0 type veth peer name en0peer\naddr add 10.9.0.1/24 dev en0\n"
                 "addr add 192.168.3.2/24 dev en0\naddr add 2001:db8::1/64 dev en0 nodad\nlink set en0 up\n"
                 f"link set en0peer up\nroute add default via {GW}\ntuntap add mode tun name utun7\n"
                 "link set utun7 up\nroute add 0.0.0.0/1 dev utun7\nroute add 128.0.0.0/1 dev utun7\n"
                 "tuntap add mode tun name utun8\n")

    def get(self, *args):
        """(next hop as callers read it: the second word of the line "gateway:", interface)."""
        lines = [line.split() for line in self.ok("-n", "get", *args).splitlines()]
        words = {line[0]: line[1] for line in lines if len(line) > 1}
        return words.get("gateway:"), words["interface:"]

    def refused(self, args, reason, echo=None):
        """As Apple's route refuses: the reason on stderr, the echo on stdout, exit status 0."""
        result = self.tool(*args)
        self.assertEqual((result.returncode, result.stderr), (0, f"route: writing to routing socket: {reason}\n"), args)
        self.assertTrue(result.stdout == echo if echo is not None else result.stdout.endswith(f": {reason}\n"),
                        result.stdout)

    def table(self):
        return "".join(self.ns.run("ip", family, "route", "show").stdout for family in ("-4", "-6"))

    def test_add_get_delete(self):
        # (add, delete, the kernel's entry, a target and how `get` reaches it)
        add6, delete6 = ["-n", "add", "-inet6"], ["-n", "delete", "-inet6"]
        forms = [
            # A delete names the destination only: the gateway given is not compared.
            (["add", "-host", "10.51.0.1", GW], ["-n", "delete", "-host", "10.51.0.1", "10.9.0.9"],
             f"10.51.0.1 via {GW} dev en0", "10.51.0.1", (GW, "en0")),
            (["add", "-net", "10.60.0.0/16", "-interface", "utun7"], ["delete", "-net", "10.60.0.0/16"],
             "10.60.0.0/16 dev utun7 scope link", "10.60.3.4", (None, "utun7")),
            (["-n", "add", "-net", "10.70.1.77/24", GW], ["-n", "delete", "-net", "10.70.1.0/24", GW],
             f"10.70.1.0/24 via {GW} dev en0", "10.70.1.9", (GW, "en0")),
            (add6 + ["-host", "2001:db8:5::5", "2001:db8::fe"], delete6 + ["-host", "2001:db8:5::5", "2001:db8::fe"],
             "2001:db8:5::5 via 2001:db8::fe dev en0", "2001:db8:5::5", ("2001:db8::fe", "en0")),
        ]
        for add, delete, entry, target, reached in forms:
            with self.subTest(add=add):
                self.ok(*add)
                self.assertIn(entry, self.table())
                self.assertEqual(self.get(*(["-inet6"] if ":" in target else []), target), reached)
                self.refused(add, "File exists")
                self.ok(*delete)
                self.assertNotIn(entry, self.table())
                self.refused(delete, "not in table")

    def test_failure_texts_are_macos_ones(self):
        # The very lines a real Mac prints.
        net = ["-net", "192.168.1.77/24"]  # host bits dropped from the echo
        self.assertEqual(self.ok("add", *net, "192.168.3.1"), "add net 192.168.1.0: gateway 192.168.3.1\n")
        self.refused(["add", *net, "192.168.3.1"], "File exists", macos_sample("route add exists stdout"))
        self.ok("delete", *net)
        self.refused(["delete", *net], "not in table", macos_sample("route delete missing stdout"))
        self.refused(["-n", "get", "-inet6", "2001:db8:99::1"], "not in table", "")
        # One destination holds one route, whatever the gateway.
        self.ok("add", "-host", "10.52.0.1", GW)
        self.refused(["-n", "add", "-host", "10.52.0.1", "10.9.0.9"], "File exists",
                     "add host 10.52.0.1: gateway 10.9.0.9: File exists\n")
        self.fails([(["add", "-net", "0.0.0.0/1", "-interface", "utun99"], 68, "bad address: utun99"),
                    (["add", "-host", "10.1.1.1", "bad-gateway"], 68, "bad address"),
                    (["get", "example.invalid"], 68, "bad address"),
                    (["add", "-host", "10.1.1.1"], 64, "usage: route"), (["flush"], 64, "usage: route")])

    def test_get_default_sees_past_the_half_defaults(self):
        # A link-local router, shown and taken with its interface, is the packet steering end-to-end test's.
        self.assertEqual((self.get("default"), self.get("198.51.100.1")), ((GW, "en0"), (None, "utun7")))
        self.refused(["-n", "get", "-inet6", "default"], "not in table", "")


@needs_root
class IfconfigTest(StandinTest):
    TOOL = "ifconfig"
    NAMESPACE = RouteTest.NAMESPACE  # utun8 is left down for it to bring up

    def link(self, iface):
        """(is up, IPv4 addresses) as the kernel has them."""
        flags = self.ns.run("ip", "-o", "link", "show", "dev", iface).stdout
        addresses = self.ns.run("ip", "-4", "-o", "addr", "show", "dev", iface).stdout.splitlines()
        return ("UP" in flags.split("<")[1].split(">")[0].split(","),
                [line.split(" inet ")[1].split(" scope")[0] for line in addresses])

    def test_every_form_fails_on_a_missing_interface_and_sets_a_present_one(self):
        self.assertIn("\tinet 10.9.0.1 netmask 0xffffff00", self.ok("en0"))
        self.fails([(["utun250"] + form, 1, "ifconfig: interface utun250 does not exist\n")
                    for form in ([], ["up"], ["down"], ["10.1.1.1", "10.1.1.1", "netmask", "255.255.255.255"])])
        # Up, down, and an address that replaces the last.
        host = ["198.18.0.2", "198.18.0.2", "netmask", "255.255.255.255"]
        peer = ["10.8.0.2", "10.8.0.1", "netmask", "255.255.255.255", "up"]
        for args, expected in ((["up"], (True, [])), (["down"], (False, [])), (host, (False, ["198.18.0.2/32"])),
                               (host, (False, ["198.18.0.2/32"])), (peer, (True, ["10.8.0.2 peer 10.8.0.1/32"]))):
            self.ok("utun8", *args)
            self.assertEqual(self.link("utun8"), expected, args)
        # Bad addresses fail and leave the address alone.
        self.fails([(["utun8", "999.1.1.1", "198.18.0.2"], 1, "ifconfig: "),
                    (["utun8", "198.18.0.2", "198.18.0.2", "netmask", "255.0.255.0"], 1, "bad value")])
        self.assertEqual(self.link("utun8"), (True, ["10.8.0.2 peer 10.8.0.1/32"]))


if __name__ == "__main__":
    unittest.main()
