#!/usr/bin/python3
"""The custom split engine with the real `lsof` and routes: the /24 a tracked application talks to leaves
through the gateway while snapshots of its processes come, the rest crosses the tunnel, and the route
goes when the snapshots stop, on restore and on recover."""
import subprocess
import time
import unittest

from e2e_support import (APP_EXE as APP, CUSTOM_STATE as STATE, GONE_APP, OK, HelperCase, Sandbox, pid_update,
                         stage_request, wait_until)

# Both echo addresses of the server lie in this network.
NETWORK = "198.51.100.0/24"
ROUTE = f"{NETWORK} via {Sandbox.GATEWAY} dev en0"
# A public host in another network, served by the same echo server.
OTHER_HOST = "203.0.113.80"


class CustomSplitTest(HelperCase):
    """Every test begins with the tunnel up, the engine staged for the tracked application and
    that application running with its two connections into NETWORK."""

    @classmethod
    def prepare(cls):
        cls.sb.server_run("ip", "addr", "add", f"{OTHER_HOST}/32", "dev", "lo")

    def setUp(self):
        self.start_tunnel()
        self.tunnel_routes = self.routes()
        self.assertEqual(self.stage()["CustomSplitEngineStatus"]["staged"], True)
        self.app = self.sb.spawn("kivo-app", Sandbox.PUBLIC_IP, Sandbox.PUBLIC_IP_2,
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        # Before any snapshot the application's traffic crosses the tunnel.
        self.assertEqual([self.app.stdout.readline().strip() for _ in range(2)], [Sandbox.TUNNEL_IP] * 2)
        self.pid = self.sb.inner_pid(self.app)
        self.generation = 0

    def tearDown(self):
        self.app.kill()
        self.app.wait()
        self.sb.ctl("RestoreCustomSplitEngine")
        self.sb.run("ip", "route", "del", NETWORK, check=False)

    def stage(self, apps=(APP,)):
        return self.request(stage_request("CustomSplitEngine", *apps))

    def app_reaches(self, host):
        """The source address the server saw for a new connection of the tracked application."""
        self.app.stdin.write(host + "\n")
        self.app.stdin.flush()
        return self.app.stdout.readline().strip()

    def engine_routes(self):
        return [line.strip() for line in self.sb.run("ip", "-4", "route", "show", NETWORK).stdout.splitlines()]

    def go_live(self):
        """A snapshot of the application's process; the engine answers live and routes its network."""
        self.generation += 1
        answer = self.request(pid_update("CustomSplitEngine", self.generation, APP, [self.pid]))["CustomSplitEngineStatus"]
        self.assertEqual((answer["active"], answer["dynamic_routes"]), (True, 1), answer)
        # The snapshot's own pass installs the route; at the latest the next monitor round does.
        self.assertTrue(wait_until(lambda: self.engine_routes() == [ROUTE], 3), self.engine_routes())

    def test_the_applications_network_bypasses_the_tunnel_while_snapshots_come_until_restore_or_recover(self):
        sb = self.sb
        self.go_live()
        last_snapshot = time.monotonic()
        self.assertEqual(self.app_reaches(sb.PUBLIC_IP), sb.CLIENT_IP)
        # Other networks still cross the tunnel, the application's and everyone else's.
        self.assertEqual(self.app_reaches(OTHER_HOST), sb.TUNNEL_IP)
        self.assertEqual(self.probe(OTHER_HOST, "tcp"), sb.TUNNEL_IP)
        self.assertNotIn("watchdog", sb.helper_stderr())

        self.assertTrue(wait_until(lambda: self.engine_routes() == [], 25), self.engine_routes())
        gone_after = time.monotonic() - last_snapshot
        # Stale after 15 s, withdrawn by the next monitor round, 2 s apart.
        self.assertTrue(14 < gone_after < 21, gone_after)
        self.assertEqual(self.routes(), self.tunnel_routes)
        self.assertEqual(self.app_reaches(sb.PUBLIC_IP), sb.TUNNEL_IP)
        # A fresh snapshot brings it back.
        self.go_live()

        # Split bypass adopts the engine's route (same network, same gateway), then lets go of it.
        self.assertEqual(self.request({"ApplySplitBypass": {"routes": [NETWORK], "gateway": sb.GATEWAY}}),
                         {"SplitBypassStatus": {"active": True, "routes": 1}})
        self.assertEqual(self.request("RestoreSplitBypass"), {"SplitBypassStatus": {"active": False, "routes": 1}})
        time.sleep(2.5)  # a monitor round
        self.assertEqual(self.engine_routes(), [ROUTE])
        self.assertEqual(self.app_reaches(sb.PUBLIC_IP), sb.CLIENT_IP)

        recorded = self.state(STATE)
        self.assertIn("Err", self.stage(apps=[GONE_APP]))
        # The refused stage took the earlier routes away first; its record no longer claims them,
        # so the next monitor round puts back what is still in use, without a new snapshot.
        wait_until(lambda: self.state(STATE)["dynamic_routes"] == [NETWORK], 3)
        record = self.state(STATE)
        self.assertEqual((record["dynamic_routes"], record["app_paths"]), ([NETWORK], recorded["app_paths"]))
        self.assertEqual(self.engine_routes(), [ROUTE])

        # A restore answers with what it took away.
        taken = {"staged": False, "active": False, "app_count": 1, "route_count": 0, "dynamic_routes": 1, "note": None}
        for request, answer in (("RestoreCustomSplitEngine", {"CustomSplitEngineStatus": taken}), ("Recover", OK)):
            with self.subTest(request=request):
                self.assertEqual(self.stage()["CustomSplitEngineStatus"]["staged"], True)
                self.go_live()
                self.assertEqual(self.request(request), answer)
                self.assertEqual(self.engine_routes(), [])
                self.assertIsNone(self.state(STATE))
        self.assert_no_tunnel()


if __name__ == "__main__":
    unittest.main()
