"""networksetup stand-in: service listing, DNS get/set, errors and a safe store."""
import json
import os
import subprocess
import tempfile
import unittest
from concurrent.futures import ThreadPoolExecutor

TOOL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bin", "networksetup")
HEADER = "An asterisk (*) denotes that a network service is disabled."


def enabled_services(listing):
    """The helper's reading of the listing: skip blanks, the notice and disabled ones."""
    names = []
    for line in listing.split("\n"):
        line = line.rstrip("\r").strip()
        if line and not line.startswith("An asterisk") and not line.startswith("*"):
            names.append(line)
    return names


class NetworksetupCase(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.store = os.path.join(self.dir.name, "state", "services.json")

    def tearDown(self):
        self.dir.cleanup()

    def run_tool(self, *args):
        env = dict(os.environ, KIVO_NETWORKSETUP_STORE=self.store)
        return subprocess.run([TOOL, *args], env=env, capture_output=True, text=True,
                              timeout=30)

    def ok(self, *args):
        result = self.run_tool(*args)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, "")
        return result.stdout

    def store_bytes(self):
        with open(self.store, "rb") as f:
            return f.read()


class ListingTest(NetworksetupCase):
    def test_default_services_on_first_use(self):
        out = self.ok("-listallnetworkservices")
        lines = out.splitlines()
        self.assertEqual(lines[0], HEADER)
        self.assertEqual(lines[1:], ["Wi-Fi", "USB 10/100/1000 LAN", "*Bluetooth PAN"])
        self.assertEqual(enabled_services(out), ["Wi-Fi", "USB 10/100/1000 LAN"])
        self.assertTrue(os.path.exists(self.store))

    def test_enable_disable_create_remove_change_the_listing(self):
        self.ok("-setnetworkserviceenabled", "Wi-Fi", "off")
        self.ok("-setnetworkserviceenabled", "Bluetooth PAN", "on")
        self.ok("-createnetworkservice", "Thunderbolt Bridge", "Thunderbolt Bridge")
        self.ok("-removenetworkservice", "USB 10/100/1000 LAN")
        out = self.ok("-listallnetworkservices")
        self.assertEqual(out.splitlines()[1:],
                         ["*Wi-Fi", "Bluetooth PAN", "Thunderbolt Bridge"])
        self.assertEqual(self.ok("-getnetworkserviceenabled", "Wi-Fi"), "Disabled\n")

    def test_command_words_ignore_case(self):
        self.assertTrue(self.ok("-listAllNetworkServices").startswith(HEADER))

    def test_names_that_would_not_read_back_are_refused(self):
        for name in ("*Sneaky", "  ", "Two\nLines"):
            result = self.run_tool("-createnetworkservice", name, "x")
            self.assertEqual(result.returncode, 4, name)
        self.assertEqual(len(self.ok("-listallnetworkservices").splitlines()), 4)


class DnsServersTest(NetworksetupCase):
    def test_none_set_wording(self):
        self.assertEqual(self.ok("-getdnsservers", "Wi-Fi"),
                         "There aren't any DNS Servers set on Wi-Fi.\n")

    def test_set_get_and_clear_with_a_spaced_name(self):
        service = "USB 10/100/1000 LAN"
        self.assertEqual(self.ok("-setdnsservers", service, "127.0.0.1", "2606:4700::1111",
                                 "1.1.1.1"), "")
        self.assertEqual(self.ok("-getdnsservers", service),
                         "127.0.0.1\n2606:4700::1111\n1.1.1.1\n")
        # Other services keep their own settings.
        self.assertIn("There aren't any", self.ok("-getdnsservers", "Wi-Fi"))
        self.ok("-setdnsservers", service, "Empty")
        self.assertEqual(self.ok("-getdnsservers", service),
                         f"There aren't any DNS Servers set on {service}.\n")

    def test_disabled_service_keeps_settings(self):
        self.ok("-setdnsservers", "Bluetooth PAN", "9.9.9.9")
        self.assertEqual(self.ok("-getdnsservers", "Bluetooth PAN"), "9.9.9.9\n")

    def test_bad_addresses_are_refused_and_change_nothing(self):
        self.ok("-setdnsservers", "Wi-Fi", "8.8.8.8")
        before = self.store_bytes()
        for servers in (["dns.example"], ["8.8.8.8", "300.1.1.1"], ["Empty", "1.1.1.1"],
                        ["1.1.1.1/32"]):
            result = self.run_tool("-setdnsservers", "Wi-Fi", *servers)
            self.assertEqual(result.returncode, 4, servers)
            self.assertIn("is not a valid IP address.", result.stderr)
            self.assertEqual(result.stdout, "")
        self.assertEqual(self.store_bytes(), before)
        self.assertEqual(self.ok("-getdnsservers", "Wi-Fi"), "8.8.8.8\n")


class ErrorsTest(NetworksetupCase):
    def test_unknown_service_fails_on_stderr(self):
        self.ok("-listallnetworkservices")
        before = self.store_bytes()
        for args in (["-getdnsservers", "Ethernet 9"],
                     ["-setdnsservers", "Ethernet 9", "1.1.1.1"],
                     ["-setdnsservers", "wi-fi", "Empty"],
                     ["-removenetworkservice", "Ethernet 9"]):
            result = self.run_tool(*args)
            self.assertEqual(result.returncode, 4, args)
            self.assertEqual(result.stdout, "")
            self.assertTrue(result.stderr.startswith(
                f"{args[1]} is not a recognized network service.\n"), result.stderr)
        self.assertEqual(self.store_bytes(), before)

    def test_wrong_arguments(self):
        for args in (["-getdnsservers"], ["-setdnsservers", "Wi-Fi"],
                     ["-listallnetworkservices", "extra"],
                     ["-setnetworkserviceenabled", "Wi-Fi", "maybe"]):
            result = self.run_tool(*args)
            self.assertEqual(result.returncode, 4, args)
            self.assertIn("The parameters were not valid.", result.stderr)
        result = self.run_tool("-frobnicate")
        self.assertEqual(result.returncode, 1)
        self.assertIn("Usage:", result.stderr)
        self.assertEqual(self.run_tool().returncode, 1)

    def test_unreadable_store_is_reported_and_left_alone(self):
        os.makedirs(os.path.dirname(self.store))
        for content in (b"{not json", b'{"services": [{"name": 3}]}', b"\xff\xfe"):
            with open(self.store, "wb") as f:
                f.write(content)
            result = self.run_tool("-setdnsservers", "Wi-Fi", "1.1.1.1")
            self.assertEqual(result.returncode, 1, content)
            self.assertIn("cannot read the service store", result.stderr)
            self.assertEqual(self.store_bytes(), content)


class ConcurrencyTest(NetworksetupCase):
    def test_parallel_writers_lose_no_update(self):
        # Each run rewrites the whole store; without the lock these would drop services.
        names = [f"Service {i}" for i in range(24)]
        with ThreadPoolExecutor(max_workers=12) as pool:
            results = list(pool.map(
                lambda n: self.run_tool("-createnetworkservice", n, "Ethernet"), names))
        self.assertTrue(all(r.returncode == 0 for r in results),
                        [r.stderr for r in results])
        with ThreadPoolExecutor(max_workers=12) as pool:
            list(pool.map(lambda n: self.run_tool("-setdnsservers", n, "10.0.0.1"), names))
        listed = enabled_services(self.ok("-listallnetworkservices"))
        self.assertEqual(sorted(listed[2:]), sorted(names))
        with open(self.store, encoding="utf-8") as f:
            services = json.load(f)["services"]
        by_name = {s["name"]: s["dns_servers"] for s in services}
        self.assertTrue(all(by_name[n] == ["10.0.0.1"] for n in names))
        leftovers = [n for n in os.listdir(os.path.dirname(self.store))
                     if n.startswith(".networksetup.")]
        self.assertEqual(leftovers, [])


if __name__ == "__main__":
    unittest.main()
