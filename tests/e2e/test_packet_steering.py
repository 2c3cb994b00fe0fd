#!/usr/bin/python3
"""The packet steering engine with the tunnel carrying everything: an excluded process's hosts are routed
around the tunnel once the engine sees its flows, flows stuck in it are recycled and come back outside
(the server says where they came from), restore takes exactly the engine's routes, the tunnel stays up."""
import select
import subprocess
import time
import unittest

from e2e_support import (STEERING_STATE as STATE, STREAM_EXE as APP, TUNNEL_STATE, HelperCase, Sandbox as S, pid_update,
                         stage_request, start_request, wait_until)


class PacketSteeringTest(HelperCase):
    @classmethod
    def prepare(cls):
        cls.sb.ctl(start_request())

    def stream(self, host, timeout=1):
        """An excluded process holding a TCP flow to the server; (process, its pid inside)."""
        proc = self.sb.spawn("kivo-stream", host, str(S.HOLD_PORT), "--timeout", str(timeout), stdout=subprocess.PIPE)
        self.addCleanup(proc.kill)
        return proc, self.sb.inner_pid(proc)

    def connected(self, proc, timeout=10):
        """The source address the server saw on the process's next connection."""
        ready, _, _ = select.select([proc.stdout], [], [], timeout)
        self.assertTrue(ready, "no new connection")
        words = proc.stdout.readline().decode().split()
        self.assertEqual(words[:1], ["connected"], "the stream ended")
        return words[1]

    def ip_route(self, family, host):
        return self.sb.run("ip", family, "route", "show", "exact", host).stdout.strip()

    def test_an_excluded_process_is_steered_around_the_tunnel(self):
        sb = self.sb
        tunnel_routes = self.routes()
        ipv6_routes = sb.run("ip", "-6", "route", "show").stdout
        self.request(stage_request("PacketSteeringEngine", APP))

        # The process talks to a public host through the tunnel on a dual-stack socket (which
        # nettop shows IPv4-mapped), to another over IPv6 (which a route of its own sends into
        # the tunnel, where it is stuck) and to the VPN server.
        v4, v4_pid = self.stream(f"::ffff:{S.PUBLIC_IP}")
        self.assertEqual(self.connected(v4), S.TUNNEL_IP)
        sb.run("ip", "-6", "route", "add", S.PUBLIC_IP6, "dev", "utun200")
        # Its connection attempt stays in the tunnel long enough for the snapshot to see it.
        v6, v6_pid = self.stream(S.PUBLIC_IP6, timeout=5)
        server, server_pid = self.stream(S.SERVER_IP)
        self.assertEqual(self.connected(server), S.CLIENT_IP)
        self.assertTrue(wait_until(lambda: S.PUBLIC_IP6 in sb.run("nettop", "-n", "-L", "1", "-p", str(v6_pid)).stdout,
                                   10), "no flow to the IPv6 host")

        # One PID snapshot: its pass sees the flows and steers their hosts at once.
        updated = self.request(pid_update("PacketSteeringEngine", 1, APP, [v4_pid, v6_pid, server_pid], "kivo-stream"))
        updated = updated["PacketSteeringEngineStatus"]
        self.assertTrue(updated["active"], updated)
        self.assertEqual(self.ip_route("-4", S.PUBLIC_IP), f"{S.PUBLIC_IP} via {S.GATEWAY} dev en0")
        # Through the IPv6 gateway the stage asked the route tool for.
        self.assertIn(f"{S.PUBLIC_IP6} via fe80::1 dev en0 ", self.ip_route("-6", S.PUBLIC_IP6))
        state = self.state(STATE)
        self.assertEqual(state["applied_bypass_routes_ipv4"], [S.PUBLIC_IP, S.SERVER_IP])
        self.assertEqual(state["applied_bypass_routes_ipv6"], [S.PUBLIC_IP6])

        # Their flows end up outside the tunnel: the server sees the physical addresses.
        self.assertEqual(self.connected(v4), S.CLIENT_IP)
        self.assertEqual(self.connected(v6), S.CLIENT_IP6)
        # Everything else still crosses the tunnel.
        self.assertEqual(self.probe(S.PUBLIC_IP_2), S.TUNNEL_IP)

        # The monitor keeps them in place while fresh snapshots come in.
        time.sleep(2.5)
        verified = self.request("VerifyPacketSteeringEngine")["PacketSteeringEngineStatus"]
        self.assertEqual((verified["active"], verified["route_count"], verified["observation_source"]),
                         (True, 3, "nettop"), verified)

        restored = self.request("RestorePacketSteeringEngine")["PacketSteeringEngineStatus"]
        self.assertEqual(restored["route_count"], 3)
        self.assertIsNone(self.state(STATE))
        self.assertEqual(self.routes(), tunnel_routes, "the engine's routes stayed, or the tunnel's went")
        self.assertEqual(sb.run("ip", "-6", "route", "show").stdout, ipv6_routes)
        # The tunnel was up all along: its record, its server route (among the routes above) and its traffic.
        self.assertEqual(self.state(TUNNEL_STATE)["iface"], "utun200")
        self.assertEqual(self.probe(S.PUBLIC_IP), S.TUNNEL_IP)


if __name__ == "__main__":
    unittest.main()
