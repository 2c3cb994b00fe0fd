#!/usr/bin/python3
"""The networksetup stand-in: the service listing, DNS servers, errors and a safe store."""
import concurrent.futures
import tempfile
import unittest
from pathlib import Path

from standin_support import StandinTest, macos_sample


class NetworksetupTest(StandinTest):
    TOOL = "networksetup"

    def setUp(self):
        self.store = Path(self.enterContext(tempfile.TemporaryDirectory())) / "state" / "services.json"
        self.env = {"KIVO_NETWORKSETUP_STORE": str(self.store)}

    def test_set_get_refused_changes_and_clear(self):
        # The listing is read by the helper in the DNS end-to-end test.
        lan = "USB 10/100/1000 LAN"
        self.assertEqual(self.ok("-setdnsservers", lan, "127.0.0.1", "2606:4700::1111", "1.1.1.1"), "")
        self.assertEqual(self.ok("-getdnsservers", lan), "127.0.0.1\n2606:4700::1111\n1.1.1.1\n")
        self.assertEqual(self.ok("-getdnsservers", "Wi-Fi"), macos_sample("networksetup getdnsservers none"))
        before = self.store.read_bytes()
        # As on a Mac: the message on standard output, nothing on standard error, exit status 4.
        for args, text in ((["-setdnsservers", "Wi-Fi", "dns.example"], "dns.example is not a valid IP address."),
                           (["-setdnsservers", "Wi-Fi", "8.8.8.8", "300.1.1.1"], "300.1.1.1 is not a valid"),
                           (["-setdnsservers", "wi-fi", "Empty"], "wi-fi is not a recognized network service.\n"),
                           (["-setdnsservers", "Wi-Fi"], "The parameters were not valid."),
                           (["-getdnsservers", "*Wi-Fi"], macos_sample("networksetup unknown service stdout"))):
            with self.subTest(args=args):
                result = self.tool(*args)
                self.assertEqual((result.returncode, result.stderr), (4, ""))
                self.assertIn(text, result.stdout)
        self.fails([(["-frobnicate"], 1, "Usage:")])
        self.assertEqual(self.store.read_bytes(), before)
        # Without a resolver in the store no resolver file is written.
        self.assertEqual(sorted(p.name for p in self.store.parent.iterdir()), ["services.json", "services.json.lock"])
        # A store it cannot read is reported, never replaced.
        self.store.write_bytes(b"{not json")
        self.fails([(["-setdnsservers", "Wi-Fi", "1.1.1.1"], 1, "cannot read the service store")])
        self.assertEqual(self.store.read_bytes(), b"{not json")

    def test_parallel_writers_lose_no_update(self):
        # Each run rewrites the whole store; without the lock some services would be lost.
        names = [f"Service {i}" for i in range(16)]
        with concurrent.futures.ThreadPoolExecutor(8) as pool:
            list(pool.map(lambda name: self.ok("-createnetworkservice", name, "Ethernet"), names))
        self.assertEqual(sorted(self.ok("-listallnetworkservices").splitlines()[4:]), sorted(names))


if __name__ == "__main__":
    unittest.main()
