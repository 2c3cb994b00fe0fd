#!/usr/bin/python3
"""The provider stand-in's own stop: a SIGTERM (stopVPNTunnel) that comes while wireguard-go
is being started must still end it."""
import os
import runpy
import signal
import subprocess
import tempfile
import unittest

from standin_support import BIN


class StopDuringStartTest(unittest.TestCase):
    def test_a_stop_while_wireguard_go_starts_ends_it(self):
        provider = runpy.run_path(str(BIN / "kivo-ne-provider"))
        real_popen = subprocess.Popen

        def popen_then_stop(args, **options):
            # The stop lands after the child exists, before Popen hands it over.
            child = real_popen(["sleep", "60"], **options)
            os.kill(os.getpid(), signal.SIGTERM)
            return child

        def on_stop(signum, frame):
            raise provider["Stop"]()

        self.addCleanup(signal.signal, signal.SIGTERM, signal.signal(signal.SIGTERM, on_stop))
        subprocess.Popen = popen_then_stop
        self.addCleanup(setattr, subprocess, "Popen", real_popen)
        tunnel = provider["Provider"](self.enterContext(tempfile.TemporaryDirectory()), "p1")
        tunnel.iface = "utun100"
        with self.assertRaises(provider["Stop"]):
            tunnel.spawn_wireguard_go()
        self.assertIsNotNone(tunnel.wireguard_go, "the child was started but nobody can end it")
        tunnel.stop()
        self.assertEqual(tunnel.wireguard_go.returncode, -signal.SIGTERM)


if __name__ == "__main__":
    unittest.main()
