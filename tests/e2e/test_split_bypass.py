#!/usr/bin/python3
"""Static split bypass routes set by the real helper in the sandbox while the tunnel is up:
chosen destinations leave through the physical gateway, the rest keeps crossing the tunnel,
and restore, rollback and tunnel stop take away exactly the routes that were recorded."""
import json
import os
import sys
import time
import unittest
from pathlib import Path

SOURCE = Path(os.environ.get("KIVO_SOURCE_DIR") or Path(__file__).resolve().parents[2])
sys.path.insert(0, str(SOURCE / "platform" / "sandbox"))
from sandbox import Sandbox, processes_in  # noqa: E402

BUILD = Path(os.environ.get("KIVO_BUILD_DIR") or SOURCE / "build" / "sandbox")
BUILT = all((BUILD / name).exists() for name in ("com.kivovpn.helper", "kivo-helperctl"))
SPLIT_STATE_FILE = "com.kivovpn.helper.split.state.json"
TUNNEL_STATE_FILE = "com.kivovpn.helper.state.json"
# The host and the /30 around it; "198.51.100.22/30" is given unmasked on purpose.
HOST = Sandbox.PUBLIC_IP_2
NETWORK = "198.51.100.20/30"
# Apart from both: a route removed by hand is not hidden by a wider or narrower one.
DISJOINT_NETWORK = "198.51.100.32/28"
# A route of someone else's that no split bypass operation may touch.
FOREIGN_ROUTE = "198.51.100.64/26"
INACTIVE = {"SplitBypassStatus": {"active": False, "routes": 0}}


def apply_request(routes, gateway=Sandbox.GATEWAY):
    return {"ApplySplitBypass": {"routes": routes, "gateway": gateway}}


def split_status(active, routes):
    return {"SplitBypassStatus": {"active": active, "routes": routes}}


def apply_failed(message):
    return {"Err": {"code": "SplitBypassApplyFailed", "message": message}}


@unittest.skipUnless(BUILT, f"com.kivovpn.helper and kivo-helperctl are not built in {BUILD}")
class SplitBypassTest(unittest.TestCase):
    """One sandbox for the class; every test begins with the tunnel up and no bypass routes."""

    @classmethod
    def setUpClass(cls):
        cls.sb = Sandbox(build_dir=BUILD).__enter__()
        try:
            cls.sb.start_helper()
        except BaseException:
            cls.sb.close()
            raise

    @classmethod
    def tearDownClass(cls):
        sb = cls.sb
        net_id, work_dir = sb.client_net_id, sb.dir
        sb.close()
        assert not processes_in(net_id), "processes outlived the sandbox"
        assert not work_dir.exists(), "the sandbox's temp dir outlived it"

    def setUp(self):
        sb = self.sb
        if self.ask("Status")[1]["Status"]["connected"] is not True:
            code, answer = self.ask({"StartTunnel": {"config_path": sb.CONFIG_PATH, "client_ip": sb.TUNNEL_IP,
                                                     "server_ip": sb.SERVER_IP, "gateway": sb.GATEWAY}})
            self.assertEqual(code, 0, answer)
        sb.run("ip", "route", "replace", FOREIGN_ROUTE, "via", sb.GATEWAY)
        self.tunnel_routes = self.routes()
        self.assertEqual(self.probe(HOST), sb.TUNNEL_IP)

    def tearDown(self):
        self.sb.ctl("RestoreSplitBypass")
        # Whatever a failed test left behind must not fail the next one too.
        for route in (HOST, NETWORK, DISJOINT_NETWORK, "10.77.0.0/16"):
            self.sb.run("ip", "route", "del", route, check=False)

    # -- helpers ---------------------------------------------------------------------------

    def ask(self, request):
        """(exit code, decoded response) of one kivo-helperctl call."""
        code, out = self.sb.ctl(request)
        try:
            return code, json.loads(out)
        except ValueError:
            self.fail(f"not a JSON response to {request!r}: {out!r} (exit {code})")

    def routes(self):
        return self.sb.run("ip", "-4", "route", "show", "table", "main").stdout.splitlines()

    def probe(self, host):
        """The source address the echo server saw, or "" when nothing came back."""
        return self.sb.run("kivo-probe", "udp", host, str(Sandbox.ECHO_PORT), check=False).stdout.strip()

    def split_state(self):
        path = self.sb.run_path(SPLIT_STATE_FILE)
        return path.read_text() if path.exists() else None

    def assert_inactive(self):
        """No bypass route, no record, and the tunnel's routes exactly as before the test."""
        self.assertIsNone(self.split_state())
        self.assertEqual(self.routes(), self.tunnel_routes)
        self.assertEqual(self.ask("VerifySplitBypass"), (0, INACTIVE))

    def apply(self, routes, gateway=Sandbox.GATEWAY):
        code, answer = self.ask(apply_request(routes, gateway))
        self.assertEqual(code, 0, answer)
        return answer

    # -- scenarios -------------------------------------------------------------------------

    def test_chosen_destinations_leave_through_the_gateway(self):
        sb = self.sb
        before = int(time.time())
        answer = self.apply([f"  {HOST} ", "198.51.100.22/30", HOST])
        after = int(time.time())
        self.assertEqual(answer, split_status(True, 2))

        text = self.split_state()
        record = json.loads(text)
        self.assertTrue(before <= record["updated_at"] <= after, record)
        self.assertEqual(text, json.dumps({"routes": [HOST, NETWORK], "gateway": sb.GATEWAY,
                                           "updated_at": record["updated_at"]}, separators=(",", ":")))
        self.assertEqual(sb.run_path(SPLIT_STATE_FILE).stat().st_mode & 0o777, 0o600)

        self.assertEqual(self.probe(HOST), sb.CLIENT_IP)
        self.assertIn(f"udp {sb.CLIENT_IP} {HOST} {sb.ECHO_PORT}", sb.server_log())
        self.assertEqual(self.probe(sb.PUBLIC_IP), sb.TUNNEL_IP)
        for target in (HOST, "198.51.100.21"):
            self.assertIn(f"    gateway: {sb.GATEWAY}", sb.run("route", "-n", "get", target).stdout)
        self.assertEqual(self.ask("VerifySplitBypass"), (0, split_status(True, 2)))

    def test_restore_removes_exactly_the_recorded_routes(self):
        sb = self.sb
        self.apply([HOST, NETWORK])
        self.assertEqual(self.ask({"RestoreSplitBypass": None}), (0, split_status(False, 2)))
        self.assert_inactive()
        self.assertIn(f"{FOREIGN_ROUTE} via {sb.GATEWAY} dev en0 ", self.routes())
        self.assertEqual(self.probe(HOST), sb.TUNNEL_IP)
        # Nothing recorded: nothing to do.
        self.assertEqual(self.ask("RestoreSplitBypass"), (0, INACTIVE))

    def test_a_route_removed_by_hand(self):
        sb = self.sb
        self.apply([HOST, DISJOINT_NETWORK])
        sb.run("ip", "route", "del", DISJOINT_NETWORK)
        self.assertEqual(self.ask("VerifySplitBypass"), (0, split_status(False, 2)))
        # A route that is already gone does not make the restore fail.
        self.assertEqual(self.ask("RestoreSplitBypass"), (0, split_status(False, 2)))
        self.assert_inactive()

    def test_a_route_turned_elsewhere_is_not_verified(self):
        sb = self.sb
        self.apply([NETWORK])
        sb.run("ip", "route", "replace", NETWORK, "dev", "utun200")
        self.assertEqual(self.ask("VerifySplitBypass"), (0, split_status(False, 1)))

    def test_new_apply_replaces_the_old_set(self):
        sb = self.sb
        self.apply([HOST, NETWORK])
        self.assertEqual(self.apply([NETWORK]), split_status(True, 1))
        self.assertEqual(json.loads(self.split_state())["routes"], [NETWORK])
        self.assertNotIn(f"{HOST} via {sb.GATEWAY} dev en0 ", self.routes())
        # An empty list takes the bypass away altogether.
        self.assertEqual(self.apply([]), INACTIVE)
        self.assert_inactive()

    def test_route_already_in_place_is_adopted(self):
        sb = self.sb
        sb.run("ip", "route", "add", HOST, "via", sb.GATEWAY)
        self.assertEqual(self.apply([HOST]), split_status(True, 1))
        self.assertEqual(self.ask("VerifySplitBypass"), (0, split_status(True, 1)))
        # Through the tunnel instead: replaced once, then through the gateway.
        self.ask("RestoreSplitBypass")
        sb.run("ip", "route", "add", HOST, "dev", "utun200")
        self.assertEqual(self.apply([HOST]), split_status(True, 1))
        self.assertEqual(self.probe(HOST), sb.CLIENT_IP)

    def test_invalid_input_changes_nothing(self):
        self.apply([HOST])
        recorded, routes = self.split_state(), self.routes()
        cases = [
            (["fd00::1"], "Invalid IPv4 host route 'fd00::1'"),
            ([NETWORK, " 10.0.0.0/0 "], "CIDR /0 is not allowed for split bypass"),
            (["10.0.0.0/33"], "CIDR prefix out of range in '10.0.0.0/33'"),
            (["10.0.0.0/8/1"], "Invalid CIDR route '10.0.0.0/8/1'"),
            (["10.0.0/8"], "Invalid IPv4 CIDR address '10.0.0/8'"),
            (["10.0.0.0/x"], "Invalid CIDR prefix '10.0.0.0/x'"),
            ([NETWORK, "   "], "Split route entry cannot be empty"),
        ]
        for entries, message in cases:
            with self.subTest(entries=entries):
                self.assertEqual(self.ask(apply_request(entries)), (1, apply_failed(message)))
                self.assertEqual((self.split_state(), self.routes()), (recorded, routes))
        self.assertEqual(self.ask(apply_request([NETWORK], gateway="192.0.2")),
                         (1, apply_failed("Invalid IP provided: 192.0.2")))
        self.assertEqual((self.split_state(), self.routes()), (recorded, routes))
        self.assertEqual(self.ask("VerifySplitBypass"), (0, split_status(True, 1)))

    def stop_tunnel(self):
        # While the half-default routes are in place every address is on-link through the
        # tunnel, so an unreachable gateway exists only without it.
        self.assertEqual(self.sb.ctl("StopTunnel"), (0, '"Ok"'))
        self.tunnel_routes = self.routes()

    def test_unreachable_gateway(self):
        self.stop_tunnel()
        self.apply([NETWORK])
        # The route tool's own text follows, untrimmed.
        self.assertEqual(self.ask(apply_request([HOST], gateway="10.99.0.1")), (1, apply_failed(
            f"Failed to add split bypass route '{HOST}': route: writing to routing socket: Network is unreachable\n"
            f"add host {HOST}: gateway 10.99.0.1: Network is unreachable\n")))
        # The earlier set went before the new one was tried.
        self.assert_inactive()

    def test_failed_apply_rolls_back_what_it_added(self):
        sb = self.sb
        # A gateway that is on-link only through a route of its own network. When the list
        # replaces that route, the gateway is no longer reachable and the second add fails.
        self.stop_tunnel()
        sb.run("ip", "route", "add", "10.77.0.0/16", "dev", "en0", "scope", "link")
        code, answer = self.ask(apply_request([HOST, "10.77.0.0/16"], gateway="10.77.0.1"))
        self.assertEqual(code, 1, answer)
        message = answer["Err"]["message"]
        self.assertTrue(message.startswith(
            "Failed to add split bypass route '10.77.0.0/16': "
            "Route existed with mismatched gateway and could not be replaced: "), answer)
        self.assertIn("Network is unreachable", message)
        self.assertIsNone(self.split_state())
        self.assertFalse(any(line.startswith(f"{HOST} ") for line in self.routes()), self.routes())

    def test_stopping_the_tunnel_restores_the_bypass_first(self):
        sb = self.sb
        self.apply([HOST, NETWORK])
        self.assertEqual(sb.ctl("StopTunnel"), (0, '"Ok"'))
        self.assertIsNone(self.split_state())
        self.assertFalse(sb.run_path(TUNNEL_STATE_FILE).exists())
        leftover = [line for line in self.routes() if line.startswith((f"{HOST} ", f"{NETWORK} "))]
        self.assertEqual(leftover, [])
        self.assertIn(f"{FOREIGN_ROUTE} via {sb.GATEWAY} dev en0 ", self.routes())
        self.assertEqual(self.probe(HOST), sb.CLIENT_IP)


if __name__ == "__main__":
    unittest.main()
