#!/usr/bin/python3
"""The real kivo-ne-manager configures the stand-in's VPN profile, whose provider brings up a real
WireGuard tunnel; per-app rules come from the stand-in applications' code signatures."""
import json
import os
import unittest

from e2e_support import BUILD, HelperCase, Sandbox, wait_until

MANAGER = f"{Sandbox.INSIDE_BUILD_DIR}/kivo-ne-manager"
STORE = "kivo-ne-standin"
BUILT = (BUILD / "kivo-ne-manager").exists()


@unittest.skipUnless(BUILT, f"kivo-ne-manager is not built in {BUILD}")
class NeManagerTest(HelperCase):
    """One sandbox for the class, without the helper, and one scenario: a tunnel's whole life."""

    starts_helper = False

    @classmethod
    def prepare(cls):
        # The client's private key and the server's public key, from the wg setconf file.
        config = cls.sb.path(Sandbox.CONFIG_PATH).read_text()
        keys = dict(line.split(" = ", 1) for line in config.splitlines() if " = " in line)
        cls.payload = {"privateKey": keys["PrivateKey"], "address": f"{Sandbox.TUNNEL_IP}/32",
                       "dns": Sandbox.SERVER_TUNNEL_IP, "peerPublicKey": keys["PublicKey"],
                       "peerEndpoint": f"{Sandbox.SERVER_IP}:{Sandbox.WG_PORT}",
                       "allowedIps": "0.0.0.0/0", "keepaliveSeconds": None, "excludedApps": []}
        # Signed stand-in applications beside the empty "Kivo VPN.app" the sandbox has.
        for name, identifier in (("Editor", "com.example.editor"), ("Mail", "com.apple.mail"), ("Unsigned", None)):
            executable = f"/Applications/{name}.app/Contents/MacOS/{name}"
            cls.sb.run("install", "-D", "/bin/true", executable)
            if identifier:
                os.setxattr(cls.sb.path(executable), "user.kivo.codesign", f"identifier={identifier}".encode())

    # -- driving the manager -----------------------------------------------------------------

    # The answer of one kivo-ne-manager run, which must succeed.
    def answer(self, command, payload=None):
        result = self.sb.run(MANAGER, command, input=json.dumps(payload) if payload else "", check=False)
        self.assertEqual((result.returncode, result.stderr), (0, ""), result.stdout)
        return json.loads(result.stdout)

    def wait_for_status(self, *wanted, timeout=15):
        wait_until(lambda: self.answer("status")["status"] in wanted, timeout)
        return self.answer("status")

    # -- the scenarios -------------------------------------------------------------------------

    def test_a_real_tunnel_comes_up_restarts_outlives_its_provider_turns_per_app_and_goes_down(self):
        self.assertEqual(self.answer("connect", self.payload)["status"], "connecting")
        self.assertEqual(self.wait_for_status("connected")["status"], "connected")
        self.assertEqual(self.utuns(), ["utun100"])
        self.assertEqual(self.probe(), Sandbox.TUNNEL_IP, "traffic did not cross the tunnel")

        # A provider that dies leaves a disconnected profile.
        self.sb.run("pkill", "-x", "wireguard-go")
        self.assertEqual(self.wait_for_status("disconnected")["status"], "disconnected")
        self.assertTrue(wait_until(lambda: not self.utuns(), 10), self.utuns())
        self.assertEqual(self.probe(), Sandbox.CLIENT_IP)
        # It starts again from there; an IPv6 endpoint takes no IPv4 host route.
        ipv6 = dict(self.payload, peerEndpoint=f"[2001:db8::5]:{Sandbox.WG_PORT}")
        self.assertEqual(self.answer("connect", ipv6)["status"], "connecting")
        self.assertEqual(self.wait_for_status("connected", "disconnected")["status"], "connected")
        routes = self.sb.run("ip", "route", "show", "table", "all").stdout.splitlines()
        self.assertEqual([r for r in routes if r.startswith("2001:db8::")], [])  # the endpoint's network
        self.assertIn("0.0.0.0/1 dev utun100 scope link ", routes)

        # A per-app connect replaces the full-tunnel profile. Mail is the one signed application
        # left; Unsigned and the empty Kivo VPN bundle drop out.
        self.answer("connect", dict(self.payload, excludedApps=["/Applications/Editor.app"]))
        [profile] = json.loads(self.sb.run_path(f"{STORE}/preferences.json").read_text())["profiles"]
        self.assertEqual(profile["appRules"], [{"signingIdentifier": "com.apple.mail",
                                                "designatedRequirement": 'identifier "com.apple.mail" and anchor apple',
                                                "matchPath": "/Applications/Mail.app/Contents/MacOS/Mail"}])
        self.assertEqual(self.wait_for_status("connected")["appRuleCount"], 1)
        # The removed profile's provider goes down beside the new tunnel without taking it along.
        self.assertTrue(wait_until(lambda: self.sb.run("pgrep", "-fc", "kivo-ne-provider", check=False).stdout.strip()
                                   == "1", 10), "the full-tunnel provider did not go")
        self.assertEqual(len(self.utuns()), 1)

        # Excluding nothing includes Editor as well; the tunnel, still running, is restarted.
        self.assertEqual(self.answer("update-app-rules", {"excludedApps": []})["status"], "connecting")
        self.assertEqual(self.wait_for_status("connected")["appRuleCount"], 2)

        self.assertIn(self.answer("disconnect")["status"], ("disconnecting", "connected", "disconnected"))
        self.assertEqual(self.wait_for_status("disconnected")["status"], "disconnected")
        self.assertTrue(wait_until(lambda: not self.utuns(), 10), self.utuns())
        self.assertEqual(self.probe(), Sandbox.CLIENT_IP)


if __name__ == "__main__":
    unittest.main()
