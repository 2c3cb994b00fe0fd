#!/usr/bin/python3
"""The WireGuard tunnel brought up and down by the real helper: the traffic it carries, what it records
and leaves behind, and how a failed start unwinds."""
import contextlib
import time
import unittest

from e2e_support import OK, SPLIT_STATE, STOPPED, TUNNEL_STATE, HelperCase, Sandbox as S, start_request, wait_until

BROKEN_CONFIG = "/etc/kivo/broken.conf"


class TunnelTest(HelperCase):
    """Every test begins and ends with no tunnel."""

    def tearDown(self):
        self.sb.ctl("StopTunnel")
        self.sb.run("ip", "link", "del", "utun200", check=False)

    def test_tunnel_comes_up_on_the_first_free_interface_carries_traffic_is_recorded_and_replaced(self):
        sb = self.sb
        # Someone else's utun200, and a host route to the server over a stale gateway, which route
        # refuses to add over (exiting 0, as on a Mac): the start skips the one and replaces the other.
        sb.run("ip", "tuntap", "add", "utun200", "mode", "tun")
        sb.run("ip", "route", "add", sb.SERVER_IP, "via", "192.0.2.99")
        began = int(time.time())
        status = self.start_tunnel()
        self.assertEqual((status["connected"], status["iface"]), (True, "utun201"))

        self.assert_record(TUNNEL_STATE, began, pid=status["pid"], iface="utun201", server_ip=sb.SERVER_IP,
                           default_gateway=sb.GATEWAY)

        # All of IPv4 goes into the tunnel, except the server itself.
        for half in ("0.0.0.0/1", "128.0.0.0/1"):
            self.assertIn(f"{half} dev utun201 scope link ", self.routes())
        self.assertIn(f"    gateway: {sb.GATEWAY}", sb.run("route", "-n", "get", sb.SERVER_IP).stdout)

        before = self.request("VerifyTunnelDataPlane")["TunnelDataPlaneStatus"]
        # The server sees the tunnel's own address as the source.
        self.assertEqual(self.probe(), sb.TUNNEL_IP)
        after = self.request("VerifyTunnelDataPlane")["TunnelDataPlaneStatus"]
        self.assertEqual((after["connected"], after["iface"]), (True, "utun201"))
        self.assertGreater(after["rx_bytes"], before["rx_bytes"])
        self.assertGreater(after["tx_bytes"], before["tx_bytes"])
        # Stop takes only the tunnel's own interfaces.
        self.assertEqual(self.request("StopTunnel"), OK)
        self.assertEqual(self.tunnel_leftovers(), (["utun200"], []))

        # A new start replaces the running tunnel, and stop or recover leave nothing.
        sb.run("ip", "link", "del", "utun200")
        for _ in range(3):
            status = self.start_tunnel()
            # The earlier wireguard-go is gone with its interface; the new one takes its name.
            self.assertEqual(self.tunnel_leftovers(), (["utun200"], [status["pid"]]))
            # Status reads the record.
            self.assertEqual(self.request("Status"), {"Status": status})
            self.assertEqual(self.probe(), sb.TUNNEL_IP)
        bypass = {"ApplySplitBypass": {"routes": [sb.PUBLIC_IP_2], "gateway": sb.GATEWAY}}
        self.assertEqual(self.request(bypass), {"SplitBypassStatus": {"active": True, "routes": 1}})
        # Recover takes the bypass routes too; with nothing left, stop and recover still answer Ok.
        for request in ("Recover", "StopTunnel", "Recover"):
            self.assertEqual(self.request(request), OK)
            self.assert_no_tunnel()
            self.assertIsNone(self.state(SPLIT_STATE))
        self.assertEqual(self.probe(), sb.CLIENT_IP)

    def test_failed_starts_leave_nothing_behind_and_a_dead_wireguard_go_is_not_a_tunnel(self):
        self.sb.path(BROKEN_CONFIG).write_text("[Interface]\nPrivateKey = not-a-key\n")
        cases = [  # (pattern of the message, request fields, tool replaced by a script)
            # The system would read the path only up to the NUL: the real config file.
            (r"^WireGuard config path does not exist\Z", {"config_path": S.CONFIG_PATH + "\u0000.x"}, None),
            # wireguard-go ran and utun200 appeared before the config was refused.
            (r"(?s)^wg setconf failed: .*Key is not the correct length or format", {"config_path": BROKEN_CONFIG}, None),
            (r"^wireguard-go died immediately\Z", {}, ("wireguard-go", "#!/bin/sh\nexit 1\n")),
        ]
        for expected, fields, tool in cases:
            with self.subTest(expected=expected, **fields):
                began = time.monotonic()
                with self.tool_replaced(*tool) if tool else contextlib.nullcontext():
                    answer = self.request(start_request(**fields))
                self.assertLess(time.monotonic() - began, 5, "waited on a start that had failed")
                self.assertEqual((list(answer), answer["Err"]["code"]), (["Err"], "TunnelStartFailed"))
                self.assertRegex(answer["Err"]["message"], expected)
                self.assert_no_tunnel()

        # The next start takes utun200; then its wireguard-go dies.
        self.sb.run("kill", "-9", str(self.start_tunnel()["pid"]))
        # The helper reaps its child, so the pid stops answering signal 0.
        self.assertTrue(wait_until(lambda: self.request("Status") == STOPPED, 5, 0.05))
        self.assertIsNotNone(self.state(TUNNEL_STATE))
        self.assertEqual(self.request("StopTunnel"), OK)
        self.assert_no_tunnel()


if __name__ == "__main__":
    unittest.main()
