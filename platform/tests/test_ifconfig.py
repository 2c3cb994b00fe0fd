#!/usr/bin/python3
"""The ifconfig stand-in against the real kernel, in a throw-away network namespace."""
import unittest

from standin_support import StandinTest, needs_root


@needs_root
class IfconfigTest(StandinTest):
    TOOL = "ifconfig"
    NAMESPACE = ("link add en0 type veth peer name en0peer\naddr add 10.9.0.1/24 dev en0\n"
                 "link set en0 up\nlink set en0peer up\ntuntap add mode tun name utun7\n")

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
            self.ok("utun7", *args)
            self.assertEqual(self.link("utun7"), expected, args)
        # Bad addresses fail and leave the address alone.
        self.fails([(["utun7", "999.1.1.1", "198.18.0.2"], 1, "ifconfig: "),
                    (["utun7", "198.18.0.2", "198.18.0.2", "netmask", "255.0.255.0"], 1, "bad value")])
        self.assertEqual(self.link("utun7"), (True, ["10.8.0.2 peer 10.8.0.1/32"]))


if __name__ == "__main__":
    unittest.main()
