#!/usr/bin/python3
"""Static split bypass routes while the tunnel is up: chosen destinations leave through the gateway,
the rest crosses the tunnel, and restore, rollback and tunnel stop take exactly the recorded routes."""
import unittest

from e2e_support import OK, SPLIT_STATE, HelperCase, Sandbox, err

# The host and the /30 around it; "198.51.100.22/30" is given unmasked on purpose.
HOST = Sandbox.PUBLIC_IP_2
NETWORK = "198.51.100.20/30"
# Apart from both: a route removed by hand is not hidden by a wider or narrower one.
DISJOINT_NETWORK = "198.51.100.32/28"
# A route of someone else's that no split bypass operation may touch.
FOREIGN_ROUTE = "198.51.100.64/26"
ONLINK_NETWORK = "10.77.0.0/16"


def split_status(active, routes):
    return {"SplitBypassStatus": {"active": active, "routes": routes}}


class SplitBypassTest(HelperCase):
    """Every test begins with the tunnel up, someone else's route in place and no bypass."""

    def setUp(self):
        self.start_tunnel()
        self.sb.run("ip", "route", "replace", FOREIGN_ROUTE, "via", Sandbox.GATEWAY)
        self.tunnel_routes = self.routes()
        self.assertEqual(self.probe(HOST), Sandbox.TUNNEL_IP)

    def tearDown(self):
        self.sb.ctl("RestoreSplitBypass")
        # Whatever a failed test left behind must not fail the next one too.
        for route in (HOST, NETWORK, DISJOINT_NETWORK, ONLINK_NETWORK):
            self.sb.run("ip", "route", "del", route, check=False)

    def apply(self, routes, gateway=Sandbox.GATEWAY):
        return self.request({"ApplySplitBypass": {"routes": routes, "gateway": gateway}})

    def assert_inactive(self):
        """No bypass route, no record, and every other route as before the test."""
        self.assertIsNone(self.state(SPLIT_STATE))
        self.assertEqual(self.routes(), self.tunnel_routes)
        self.assertEqual(self.request("VerifySplitBypass"), split_status(False, 0))

    def test_chosen_destinations_leave_through_the_gateway_until_restored_or_the_tunnel_stops(self):
        sb = self.sb
        self.assertEqual(self.apply([f"  {HOST} ", "198.51.100.22/30", HOST]), split_status(True, 2))

        self.assertEqual(self.probe(HOST), sb.CLIENT_IP)
        self.assertEqual(self.probe(sb.PUBLIC_IP), sb.TUNNEL_IP)
        # The helper's own check asks the route tool for each route's gateway.
        self.assertEqual(self.request("VerifySplitBypass"), split_status(True, 2))

        # A new apply replaces the old set (the restore counts its one route); a restore removes exactly
        # the recorded routes.
        self.assertEqual(self.apply([NETWORK]), split_status(True, 1))
        self.assertEqual(self.request({"RestoreSplitBypass": None}), split_status(False, 1))
        self.assert_inactive()
        self.assertEqual(self.probe(HOST), sb.TUNNEL_IP)

        # The check sees a route gone or turned elsewhere.
        for change in (["del", DISJOINT_NETWORK], ["replace", DISJOINT_NETWORK, "dev", "utun200"]):
            with self.subTest(change=change):
                self.assertEqual(self.apply([HOST, DISJOINT_NETWORK]), split_status(True, 2))
                sb.run("ip", "route", *change)
                self.assertEqual(self.request("VerifySplitBypass"), split_status(False, 2))
                # A route that is already gone does not make the restore fail.
                self.assertEqual(self.request("RestoreSplitBypass"), split_status(False, 2))
                self.assert_inactive()

        # Stopping the tunnel restores the bypass first; a failed apply then rolls back.
        self.apply([HOST, NETWORK])
        self.assertEqual(self.request("StopTunnel"), OK)
        self.assertIsNone(self.state(SPLIT_STATE))
        sb.run("ip", "route", "del", FOREIGN_ROUTE)  # still there, or this fails
        self.assert_no_tunnel()
        self.assertEqual(self.probe(HOST), sb.CLIENT_IP)

        # While the half-default routes are in place every address is on-link through the
        # tunnel, so a gateway can be unreachable only without it.
        sb.run("ip", "route", "add", ONLINK_NETWORK, "dev", "en0", "scope", "link")
        self.apply([NETWORK])
        # The gateway is on-link only through the route of its own network: once the list
        # replaces that route, the gateway is gone and the second add fails.
        self.assertEqual(self.apply([HOST, ONLINK_NETWORK], gateway="10.77.0.1"), err(
            "SplitBypassApplyFailed",
            f"Failed to add split bypass route '{ONLINK_NETWORK}': Route existed with mismatched "
            "gateway and could not be replaced: route: writing to routing socket: Network is unreachable"))
        # The earlier set went before the new one was tried, and what was added went after.
        self.assertIsNone(self.state(SPLIT_STATE))
        self.assertEqual([r for r in self.routes() if r.startswith((f"{HOST} ", f"{NETWORK} "))], [])


if __name__ == "__main__":
    unittest.main()
